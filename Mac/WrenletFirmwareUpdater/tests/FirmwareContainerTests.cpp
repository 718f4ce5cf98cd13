#include "ContainerFiles.h"
#include "ContainerLayout.h"
#include "FileSystemFirmwareFile.h"
#include "UnpackFirmware.h"
#include "UpdaterPublicKey.h"

#include <gtest/gtest.h>
#include <lzma.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

namespace {

const char* outcomeName(const UnpackOutcome& outcome)
{
    const char* const names[] = {"not decoded", "invalid layout", "bad signature", "verified"};
    return names[outcome.index()];
}

template <typename Result>
bool is(const UnpackOutcome& outcome)
{
    return std::holds_alternative<Result>(outcome);
}

ContainerSpec sampleSpec()
{
    ContainerSpec spec;
    spec.sections = {Bytes(5000, 0x11), Bytes{'J', 'A', 'M', 1}, Bytes(300, 0x33), Bytes(17, 0x44)};
    return spec;
}

class FirmwareUnpackTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { sGood = new Bytes(signedContainer(sampleSpec())); }
    static void TearDownTestSuite()
    {
        delete sGood;
        sGood = nullptr;
    }
    static inline Bytes* sGood = nullptr;
};

TEST_F(FirmwareUnpackTest, AGoodContainerVerifiesWithEveryIntegrityCheck)
{
    for (const char* check : {"crc32", "crc64", "sha256", "none"}) {
        const UnpackOutcome outcome = UnpackFirmware(xzCompress(*sGood, check));
        ASSERT_TRUE(is<UnpackResult::Verified>(outcome)) << check << ": " << outcomeName(outcome);
        const auto& container = *std::get<UnpackResult::Verified>(outcome).container;
        EXPECT_EQ(container.FirmwareVersion(), "1.1.0");
        EXPECT_EQ(container.FPGAVersion(), "1.0");
        const ContainerSpec spec = sampleSpec();
        for (int n = 1; n <= 4; ++n) {
            const auto section = container.Section(n);
            EXPECT_EQ(Bytes(section.begin(), section.end()), spec.sections[size_t(n - 1)]) << n;
        }
    }
}

// The stream with its block's dictionary raised to 4 GiB - 1 (property 40), which no decoder within the
// memory limit takes; the block header's CRC32 is made good again.
Bytes withHugeDictionary(Bytes stream)
{
    constexpr size_t kBlock = 12; // the stream header's size
    const size_t headerSize = (size_t(stream[kBlock]) + 1) * 4;
    const uint8_t flags = stream[kBlock + 1];
    size_t at = kBlock + 2;
    const auto skipNumber = [&] {
        while (stream[at++] & 0x80) {
        }
    };
    for (const uint8_t present : {0x40, 0x80}) { // compressed, then uncompressed size
        if (flags & present) {
            skipNumber();
        }
    }
    EXPECT_EQ(stream[at], LZMA_FILTER_LZMA2);
    EXPECT_EQ(stream[at + 1], 1); // one property byte
    stream[at + 2] = 40;
    const uint32_t crc = lzma_crc32(&stream[kBlock], headerSize - 4, 0);
    for (size_t k = 0; k < 4; ++k) {
        stream[kBlock + headerSize - 4 + k] = uint8_t(crc >> (8 * k));
    }
    return stream;
}

TEST_F(FirmwareUnpackTest, WhatIsNotOneStreamWithinTheLimitsIsIgnored)
{
    Bytes truncated = xzCompress(*sGood);
    truncated.pop_back();
    Bytes garbage(5000);
    std::mt19937 random(1);
    for (uint8_t& byte : garbage) {
        byte = uint8_t(random());
    }
    const ScratchFolder folder;
    folder.write("container", *sGood);
    ASSERT_EQ(std::system(("xz -q --format=lzma -k " + folder.path("container")).c_str()), 0);
    const struct
    {
        const char* name;
        Bytes raw;
    } rows[] = {
        {"a truncated stream", truncated},
        {"an .lzma file", folder.read("container.lzma")},
        {"garbage", garbage},
        {"64 MiB + 1 decoded bytes", xzCompress(Bytes(0x4000001, 0))},
        {"a stream needing more than the memory limit", withHugeDictionary(xzCompress(*sGood))},
    };
    for (const auto& row : rows) {
        EXPECT_TRUE(is<UnpackResult::NotDecoded>(UnpackFirmware(row.raw))) << row.name;
    }
    EXPECT_TRUE(is<UnpackResult::InvalidLayout>(UnpackFirmware(xzCompress(Bytes(0x4000000, 0)))));
}

Bytes withSizes(Bytes container, std::array<uint32_t, 4> sizes)
{
    for (size_t i = 0; i < 4; ++i) {
        for (size_t k = 0; k < 4; ++k) {
            container[352 + 4 * i + k] = uint8_t(sizes[i] >> (8 * k));
        }
    }
    return container;
}

TEST_F(FirmwareUnpackTest, LayoutAndSignatureDecideTheOutcome)
{
    Bytes extra = *sGood;
    extra.push_back(0);
    Bytes badSignature = *sGood;
    badSignature[10] ^= 0x01;
    ContainerSpec otherKey = sampleSpec();
    const ScratchFolder folder;
    ASSERT_EQ(std::system(("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " +
                           folder.path("other.pem") + " 2>/dev/null")
                              .c_str()),
              0);
    otherKey.key = folder.path("other.pem");
    const struct
    {
        const char* name;
        Bytes container;
        size_t expected; // the outcome's index
    } rows[] = {
        {"368 bytes, all sections empty", signedContainer(ContainerSpec{}), 3},
        {"367 bytes", Bytes(sGood->begin(), sGood->begin() + 367), 1},
        {"one byte after section 4", extra, 1},
        // 0xFFFFFFFF + 2 wraps to 1 in 32 bits: the one byte there is.
        {"sizes wrapping in 32 bits",
         withSizes(signedContainer(ContainerSpec{.sections = {Bytes(1, 7)}}), {0xFFFFFFFF, 2, 0, 0}), 1},
        {"a size beyond the file", withSizes(*sGood, {0x80000000, 0x80000000, 5321, 0}), 1},
        {"a flipped signature bit", badSignature, 2},
        {"another key", signedContainer(otherKey), 2},
    };
    for (const auto& row : rows) {
        const UnpackOutcome outcome = UnpackFirmware(xzCompress(row.container));
        EXPECT_EQ(outcome.index(), row.expected) << row.name << ": " << outcomeName(outcome);
    }
}

// Every byte of the header, signature and unread bytes included, and bytes of every section: each
// flipped, each refused.
TEST_F(FirmwareUnpackTest, EveryTamperedByteIsRefused)
{
    for (const size_t position : tamperPositions(sampleSpec().sections)) {
        Bytes tampered = *sGood;
        tampered[position] ^= 0x01;
        const UnpackOutcome outcome = CheckContainer(std::make_shared<const Bytes>(tampered));
        EXPECT_TRUE(is<UnpackResult::BadSignature>(outcome) || is<UnpackResult::InvalidLayout>(outcome))
            << position << ": " << outcomeName(outcome);
    }
    EXPECT_TRUE(is<UnpackResult::Verified>(CheckContainer(std::make_shared<const Bytes>(*sGood))));
}

TEST(UpdaterPublicKey, IsTheBase64OfA2048BitRsaKey)
{
    ASSERT_EQ(std::strlen(kUpdaterPublicKey), 392u);
    const ScratchFolder folder;
    const std::string text = folder.path("key.b64");
    std::ofstream(text) << kUpdaterPublicKey;
    const std::string command = "openssl base64 -d -A -in " + text + " -out " + folder.path("key.der") +
                                " && openssl pkey -pubin -inform DER -in " + folder.path("key.der") +
                                " -noout -text 2>/dev/null | grep -q 'Public-Key: (2048 bit)'";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST(FileSystemFirmwareFile, LoadsFilesWithinTheLimits)
{
    const ScratchFolder folder;
    const struct
    {
        size_t size;
        const char* error; // null: loaded
    } rows[] = {{2000001, "File too large"},
                {2000000, nullptr},
                {368, nullptr},
                {367, "File too small"},
                {0, "File too small"}};
    for (const auto& row : rows) {
        Bytes bytes(row.size);
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = uint8_t(i * 31);
        }
        folder.write("update.image", bytes);
        const auto result = FileSystemFirmwareFile::Load(folder.path("update.image"));
        if (row.error) {
            ASSERT_TRUE(std::holds_alternative<std::string>(result)) << row.size;
            EXPECT_EQ(std::get<std::string>(result), row.error) << row.size;
        } else {
            ASSERT_TRUE(std::holds_alternative<std::unique_ptr<FileSystemFirmwareFile>>(result)) << row.size;
            const auto& file = *std::get<std::unique_ptr<FileSystemFirmwareFile>>(result);
            EXPECT_EQ(file.RawBytes(), bytes);
            EXPECT_EQ(file.FileName(), "update.image");
        }
    }
    const auto missing = FileSystemFirmwareFile::Load(folder.path("missing.image"));
    ASSERT_TRUE(std::holds_alternative<std::string>(missing));
    EXPECT_EQ(std::get<std::string>(missing), "Cannot open file");
}

} // namespace
