#pragma once
// Per-user settings in section "Settings" under the key word "Kestrin" and the program's base name.

#include <memory>
#include <string>

class QSettings;

class CProfile {
public:
    static constexpr const char* KEY_WORD = "Kestrin";

    // The user's settings store of the program named appName.
    explicit CProfile(const std::string& appName);
    // A settings file of its own (tests).
    static std::unique_ptr<CProfile> FromFile(const std::string& iniPath);
    ~CProfile();
    CProfile(const CProfile&) = delete;
    CProfile& operator=(const CProfile&) = delete;

    int GetInt(const std::string& key, int def);
    void WriteInt(const std::string& key, int value);
    std::string GetString(const std::string& key, const std::string& def);
    void WriteString(const std::string& key, const std::string& value);
    void Remove(const std::string& key);
    bool Contains(const std::string& key);
    void Sync();

private:
    CProfile() = default;
    std::unique_ptr<QSettings> m_Settings;
};
