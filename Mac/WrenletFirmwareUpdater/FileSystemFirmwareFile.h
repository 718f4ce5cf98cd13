// A firmware file the user chose.
#pragma once

#include "FirmwareFile.h"

#include <memory>
#include <string>
#include <variant>

class FileSystemFirmwareFile final : public FirmwareFile
{
public:
    // The whole file, or the text of what went wrong: "Cannot open file", "File too large",
    // "File too small" or "Cannot read file".
    static std::variant<std::unique_ptr<FileSystemFirmwareFile>, std::string> Load(const std::string& path);

private:
    FileSystemFirmwareFile() = default;
};
