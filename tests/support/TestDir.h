#pragma once
// A private temporary folder that lives as long as the test; removed with everything in it.

#include "ImageWriter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class CTestDir {
public:
    CTestDir() {
        std::string name = (std::filesystem::temp_directory_path() / "kv-test-XXXXXX").string();
        if (mkdtemp(name.data()))
            m_Path = name;
    }
    ~CTestDir() {
        std::error_code ignored;
        if (!m_Path.empty()) // never a folder it did not make
            std::filesystem::remove_all(m_Path, ignored);
    }
    CTestDir(const CTestDir&) = delete;
    CTestDir& operator=(const CTestDir&) = delete;

    const std::string& Path() const { return m_Path; }
    std::string File(const std::string& name) const { return m_Path + "/" + name; }
    // Writes bytes or text into the folder; returns the file's path.
    template <class T> std::string Write(const std::string& name, const T& bytes) const {
        std::string error;
        EXPECT_TRUE(WriteFile(File(name), bytes.data(), bytes.size(), error)) << error;
        return File(name);
    }

private:
    std::string m_Path;
};
