#pragma once
// A temporary folder that lives as long as the test.

#include <cstdlib>
#include <filesystem>
#include <string>

class CTestDir {
public:
    CTestDir() {
        char pattern[] = "/tmp/kv_app_test_XXXXXX";
        const char* made = mkdtemp(pattern);
        m_Path = made ? made : "/tmp";
    }
    ~CTestDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_Path, ec);
    }
    CTestDir(const CTestDir&) = delete;
    CTestDir& operator=(const CTestDir&) = delete;

    const std::string& Path() const { return m_Path; }
    std::string File(const std::string& name) const { return m_Path + "/" + name; }

private:
    std::string m_Path;
};
