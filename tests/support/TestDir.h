#pragma once
// A private temporary folder that lives as long as the test; removed with everything in it.

#include "ImageWriter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

// A path as the platform writes it (its separators, "." and ".." resolved): what the program logs.
inline std::string NativePath(const std::string& path) {
    return std::filesystem::path(path).lexically_normal().string();
}

class CTestDir {
public:
    CTestDir() {
        // A fresh name each try; create_directory fails on one that exists, so the folder is ours alone.
        std::random_device random;
        std::error_code failed;
        const std::filesystem::path base = std::filesystem::temp_directory_path(failed);
        for (int attempt = 0; attempt < 100 && m_Path.empty() && !failed; ++attempt) {
            char name[32];
            std::snprintf(name, sizeof name, "kv-test-%08x", static_cast<unsigned>(random()));
            const std::filesystem::path path = base / name;
            if (std::filesystem::create_directory(path, failed))
                m_Path = path.generic_string();
            else
                failed.clear();
        }
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
