#pragma once
// The settings in the platform's own store through QSettings (on Linux ~/.config/Kestrin/<program>.conf).

#include "dialog/Profile.h"

#include <memory>
#include <string>

class QSettings;

class CQtProfile : public CProfile {
public:
    // The user's settings store of the program named appName.
    explicit CQtProfile(const std::string& appName);
    // A settings file of its own.
    static std::unique_ptr<CQtProfile> FromFile(const std::string& iniPath);
    ~CQtProfile() override;
    CQtProfile(const CQtProfile&) = delete;
    CQtProfile& operator=(const CQtProfile&) = delete;

    int GetInt(const std::string& key, int def) override;
    void WriteInt(const std::string& key, int value) override;
    std::string GetString(const std::string& key, const std::string& def) override;
    void WriteString(const std::string& key, const std::string& value) override;
    void Remove(const std::string& key) override;
    bool Contains(const std::string& key) override;
    void Sync() override;

private:
    CQtProfile() = default;
    std::unique_ptr<QSettings> m_Settings;
};
