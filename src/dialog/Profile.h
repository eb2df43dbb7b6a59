#pragma once
// Per-user settings in section "Settings" under the key word "Kestrin" and the program's base name. Each
// face keeps them where its platform keeps settings; an INI file of its own is the toolkit-free store.

#include <map>
#include <string>

class CProfile {
public:
    static constexpr const char* KEY_WORD = "Kestrin";

    virtual ~CProfile() = default;
    virtual int GetInt(const std::string& key, int def) = 0;
    virtual void WriteInt(const std::string& key, int value) = 0;
    virtual std::string GetString(const std::string& key, const std::string& def) = 0;
    virtual void WriteString(const std::string& key, const std::string& value) = 0;
    virtual void Remove(const std::string& key) = 0;
    virtual bool Contains(const std::string& key) = 0;
    virtual void Sync() = 0;
};

// "key=value" lines under "[Settings]" in one file, read at construction and written back at each change.
// Values are kept on one line: a line break in a value is stored as "\n".
class CIniProfile : public CProfile {
public:
    explicit CIniProfile(std::string path);
    ~CIniProfile() override;
    CIniProfile(const CIniProfile&) = delete;
    CIniProfile& operator=(const CIniProfile&) = delete;

    int GetInt(const std::string& key, int def) override;
    void WriteInt(const std::string& key, int value) override;
    std::string GetString(const std::string& key, const std::string& def) override;
    void WriteString(const std::string& key, const std::string& value) override;
    void Remove(const std::string& key) override;
    bool Contains(const std::string& key) override;
    void Sync() override;
    // False when the file cannot be written.
    bool Save();

private:
    std::string m_Path;
    std::map<std::string, std::string> m_Values;
    bool m_Dirty = false;
};
