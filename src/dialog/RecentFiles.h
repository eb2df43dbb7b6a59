#pragma once
// The list of recently used image files behind the image combo box: up to ten paths, index 0 the most
// recent, kept in the settings as "n" and "recfile%i".

#include <cstdint>
#include <string>

class CProfile;

class RecentImageFiles {
public:
    static constexpr int MAX_FILES = 10;
    static constexpr int MAX_KEYS_READ = 1000;

    bool AddFront(const std::string& path);
    bool Remove(const std::string& path);
    bool GetEntry(int index, std::string& path) const;
    void Save(CProfile& profile) const;
    void Load(CProfile& profile);
    int Count() const { return m_Count; }

private:
    std::string m_Files[MAX_FILES];
    uint8_t m_Count = 0;
};
