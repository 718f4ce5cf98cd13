#pragma once

// Reads a whole file. Construction fails with BadFileException when the path cannot be opened as a
// file whose size can be measured (a missing file, a directory), so that a wrongly chosen file is
// reported instead of read.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <ios>
#include <string>
#include <vector>

namespace vork {

class FileData
{
public:
    struct BadFileException : std::exception
    {
        explicit BadFileException(const std::string& path) : message("Bad file: " + path) {}
        const char* what() const noexcept override { return message.c_str(); }

        std::string message;
    };

    explicit FileData(const std::string& path) : fStream(path, std::ios::in | std::ios::binary)
    {
        std::error_code error;
        if (!fStream || std::filesystem::is_directory(path, error)) {
            throw BadFileException(path);
        }
        fStream.seekg(0, std::ios::end);
        fSize = fStream.tellg();
        fStream.seekg(0, std::ios::beg);
        if (!fStream || fSize < 0) {
            throw BadFileException(path);
        }
    }

    // The bytes from the current position to the end; empty once the stream has failed. A read
    // error ends the read early with what was read so far.
    std::vector<uint8_t> readEntirety()
    {
        std::vector<uint8_t> bytes;
        if (!fStream) {
            return bytes;
        }
        const std::streamoff position = fStream.tellg();
        if (position < 0 || position >= fSize) {
            return bytes;
        }
        bytes.resize(static_cast<std::size_t>(fSize - position));
        fStream.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        bytes.resize(static_cast<std::size_t>(fStream.gcount()));
        return bytes;
    }

    // The length the file had when it was opened.
    std::streamoff size() const { return fSize; }

    // The stream, for callers that consume part of the file themselves.
    std::ifstream& stream() { return fStream; }

private:
    std::streamoff fSize = 0;
    std::ifstream fStream;
};

} // namespace vork
