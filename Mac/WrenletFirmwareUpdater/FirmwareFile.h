// A firmware file as it arrives: its raw bytes and its name, before unpacking.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class FirmwareFile
{
public:
    class Client
    {
    public:
        virtual ~Client() = default;
        // The raw bytes are present.
        virtual void FirmwareFileLoaded(FirmwareFile& file) = 0;
    };

    virtual ~FirmwareFile() = default;
    FirmwareFile(const FirmwareFile&) = delete;
    FirmwareFile& operator=(const FirmwareFile&) = delete;

    const std::vector<uint8_t>& RawBytes() const { return fRawBytes; }
    const std::string& FileName() const { return fFileName; }

    // The raw-file limits: a local file outside them is refused, a download stopped.
    static constexpr size_t kMaximumSize = 2000000;
    static constexpr size_t kMinimumSize = 368;

protected:
    FirmwareFile() = default;
    void SetContents(std::vector<uint8_t> bytes, std::string fileName)
    {
        fRawBytes = std::move(bytes);
        fFileName = std::move(fileName);
    }

private:
    std::vector<uint8_t> fRawBytes;
    std::string fFileName;
};
