#include "FileSystemFirmwareFile.h"

#include <cstdio>
#include <memory>

std::variant<std::unique_ptr<FileSystemFirmwareFile>, std::string>
FileSystemFirmwareFile::Load(const std::string& path)
{
    const std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        return std::string("Cannot open file");
    }
    long size = -1;
    if (std::fseek(file.get(), 0, SEEK_END) == 0) {
        size = std::ftell(file.get());
    }
    if (size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
        return std::string("Cannot read file");
    }
    if (size_t(size) > kMaximumSize) {
        return std::string("File too large");
    }
    if (size_t(size) < kMinimumSize) {
        return std::string("File too small");
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    // The whole file, as its size promised: a file that shrank meanwhile is not a firmware file.
    if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
        return std::string("Cannot read file");
    }
    const size_t slash = path.find_last_of('/');
    std::unique_ptr<FileSystemFirmwareFile> loaded(new FileSystemFirmwareFile);
    loaded->SetContents(std::move(bytes), slash == std::string::npos ? path : path.substr(slash + 1));
    return loaded;
}
