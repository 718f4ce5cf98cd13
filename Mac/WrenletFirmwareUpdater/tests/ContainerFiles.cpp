#include "ContainerFiles.h"

#include "ContainerLayout.h"

#include <gtest/gtest.h>
#include <lzma.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

ScratchFolder::ScratchFolder()
{
    char pattern[] = "/tmp/wrenlet-files-XXXXXX";
    fPath = mkdtemp(pattern);
}

ScratchFolder::~ScratchFolder()
{
    std::filesystem::remove_all(fPath);
}

void ScratchFolder::write(const std::string& name, const Bytes& bytes) const
{
    std::ofstream(path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes ScratchFolder::read(const std::string& name) const
{
    std::ifstream in(path(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes signedContainer(const ContainerSpec& spec)
{
    const ScratchFolder folder;
    std::string command = std::string("python3 ") + WRENLET_CONTAINER_TOOL + " --decoded --key " + spec.key +
                          " --firmware-version '" + spec.firmwareVersion + "' --fpga-version '" +
                          spec.fpgaVersion + "' --out " + folder.path("container");
    for (size_t i = 0; i < spec.sections.size(); ++i) {
        const std::string name = "section" + std::to_string(i + 1);
        folder.write(name, spec.sections[i]);
        command += " --" + name + " " + folder.path(name);
    }
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return folder.read("container");
}

Bytes xzCompress(const Bytes& bytes, const std::string& check)
{
    const lzma_check checks[] = {LZMA_CHECK_CRC32, LZMA_CHECK_CRC64, LZMA_CHECK_SHA256, LZMA_CHECK_NONE};
    const char* names[] = {"crc32", "crc64", "sha256", "none"};
    lzma_check chosen = LZMA_CHECK_CRC64;
    for (size_t i = 0; i < 4; ++i) {
        if (check == names[i]) {
            chosen = checks[i];
        }
    }
    Bytes out(lzma_stream_buffer_bound(bytes.size()));
    size_t outPosition = 0;
    EXPECT_EQ(lzma_easy_buffer_encode(0, chosen, nullptr, bytes.data(), bytes.size(), out.data(),
                                      &outPosition, out.size()),
              LZMA_OK);
    out.resize(outPosition);
    return out;
}

std::vector<size_t> tamperPositions(const std::array<Bytes, 4>& sections)
{
    constexpr size_t kBodyBytes = 64;
    std::vector<size_t> positions;
    for (size_t i = 0; i < kContainerHeaderSize; ++i) {
        positions.push_back(i);
    }
    size_t start = kContainerHeaderSize;
    for (const Bytes& section : sections) {
        if (!section.empty()) {
            positions.push_back(start);
            positions.push_back(start + section.size() - 1);
        }
        start += section.size();
    }
    const size_t bodySize = start - kContainerHeaderSize;
    std::mt19937 random(22);
    while (bodySize > 0 && positions.size() < kContainerHeaderSize + kBodyBytes) {
        positions.push_back(kContainerHeaderSize + random() % bodySize);
    }
    return positions;
}
