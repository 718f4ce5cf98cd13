// Firmware containers for tests, made by the container builder with the build's key.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct ContainerSpec
{
    std::string firmwareVersion = "1.1.0";
    std::string fpgaVersion = "1.0";
    std::array<Bytes, 4> sections;
    std::string key = WRENLET_PRIVATE_KEY;
};

// The decoded container, signed.
Bytes signedContainer(const ContainerSpec& spec);
// xz of the bytes with the given integrity check ("crc32", "crc64", "sha256" or "none").
Bytes xzCompress(const Bytes& bytes, const std::string& check = "crc64");
// The bytes a tamper table flips in a container of these sections: every byte of the header
// (signature and unread bytes included), the first and last byte of every section, and the rest of 64
// body bytes spread over the sections with a fixed seed.
std::vector<size_t> tamperPositions(const std::array<Bytes, 4>& sections);
// A scratch folder removed with the object.
class ScratchFolder
{
public:
    ScratchFolder();
    ~ScratchFolder();
    std::string path(const std::string& name) const { return fPath + "/" + name; }
    void write(const std::string& name, const Bytes& bytes) const;
    Bytes read(const std::string& name) const;

private:
    std::string fPath;
};
