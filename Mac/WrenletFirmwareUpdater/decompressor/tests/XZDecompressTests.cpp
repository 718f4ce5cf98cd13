#include "XZDecompress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unistd.h>

namespace {

// Compresses with the xz command, the format's reference encoder.
std::vector<uint8_t> xzCommand(const std::vector<uint8_t>& data, const std::string& options)
{
    char name[] = "/tmp/xz-test-XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    close(fd);
    std::ofstream(name, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    const std::string command = "xz -c -q " + options + " " + name;
    FILE* pipe = popen(command.c_str(), "r");
    std::vector<uint8_t> out;
    uint8_t buffer[65536];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.insert(out.end(), buffer, buffer + n);
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    std::filesystem::remove(name);
    return out;
}

std::vector<uint8_t> sample(size_t size)
{
    std::vector<uint8_t> data(size);
    std::mt19937 random(3);
    for (size_t i = 0; i < size; ++i) {
        data[i] = i % 7 == 0 ? uint8_t(random()) : uint8_t(i);
    }
    return data;
}

TEST(XZDecompress, DecodesEveryIntegrityCheck)
{
    const std::vector<uint8_t> data = sample(100000);
    for (const char* check : {"crc32", "crc64", "sha256", "none"}) {
        EXPECT_EQ(XZDecompress(xzCommand(data, std::string("--check=") + check)), data) << check;
    }
}

TEST(XZDecompress, RefusesWhatIsNotOneCompleteStream)
{
    const std::vector<uint8_t> data = sample(100000);
    std::vector<uint8_t> truncated = xzCommand(data, "");
    truncated.resize(truncated.size() - 1);
    EXPECT_FALSE(XZDecompress(truncated));
    EXPECT_FALSE(XZDecompress(xzCommand(data, "--format=lzma")));
    std::vector<uint8_t> corrupted = xzCommand(data, "");
    corrupted[corrupted.size() / 2] ^= 0x10;
    EXPECT_FALSE(XZDecompress(corrupted));
    EXPECT_FALSE(XZDecompress(sample(5000)));
    EXPECT_FALSE(XZDecompress({}));
}

// Fault: the decoder stopped at the stream's end and took the file whatever followed.
TEST(XZDecompress, RefusesAnythingAfterTheStream)
{
    const std::vector<uint8_t> data = sample(100000);
    const std::vector<uint8_t> packed = xzCommand(data, "");
    const struct
    {
        const char* name;
        std::vector<uint8_t> after;
    } rows[] = {
        {"one byte", {0x5A}},
        {"a second stream", xzCommand(sample(100), "")},
    };
    for (const auto& row : rows) {
        std::vector<uint8_t> file = packed;
        file.insert(file.end(), row.after.begin(), row.after.end());
        EXPECT_FALSE(XZDecompress(file)) << row.name;
    }
    EXPECT_EQ(XZDecompress(packed), data);
}

TEST(XZDecompress, DecodesUpToTheOutputLimitAndNoFurther)
{
    std::vector<uint8_t> data(kXZOutputLimit, 0x5A);
    const auto decoded = XZDecompress(xzCommand(data, "-0"));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->size(), kXZOutputLimit);
    data.push_back(0x5A);
    EXPECT_FALSE(XZDecompress(xzCommand(data, "-0")));
}

TEST(XZDecompress, RefusesAStreamNeedingMoreMemoryThanTheLimit)
{
    const std::vector<uint8_t> packed = xzCommand(sample(1000), "--lzma2=dict=8MiB");
    EXPECT_TRUE(XZDecompress(packed));
    EXPECT_FALSE(XZDecompress(packed, kXZOutputLimit, 1 << 20));
}

} // namespace
