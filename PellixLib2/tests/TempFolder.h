#pragma once

// A temporary folder that the test removes with everything in it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class TempFolder
{
public:
    TempFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "pellix-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            ADD_FAILURE() << "no temporary folder";
        }
        fPath = pattern;
    }
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(fPath, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return fPath; }
    std::string operator/(const std::string& name) const { return (fPath / name).string(); }

    // Writes `content` as the file `name`; answers its path.
    std::string write(const std::string& name, const std::string& content) const
    {
        std::string file = *this / name;
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }

    static std::string read(const std::string& file)
    {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::filesystem::path fPath;
};
