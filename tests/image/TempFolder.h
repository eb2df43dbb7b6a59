#pragma once
// A private temporary folder for tests that need real files; removed with everything in it.

#include "ImageWriter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class TempFolder {
public:
    TempFolder() {
        std::string name = (std::filesystem::temp_directory_path() / "kv-test-XXXXXX").string();
        if (mkdtemp(name.data()))
            m_Path = name;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_Path, ignored);
    }
    std::string File(const std::string& name) const { return m_Path + "/" + name; }
    // Writes bytes or text into the folder; returns the file's path.
    template <class T> std::string Write(const std::string& name, const T& bytes) const {
        std::string error;
        EXPECT_TRUE(WriteFile(File(name), bytes.data(), bytes.size(), error)) << error;
        return File(name);
    }

    std::string m_Path;
};
