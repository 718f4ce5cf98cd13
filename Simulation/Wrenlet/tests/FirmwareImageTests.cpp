#include <Wrenlet/FirmwareImage.h>

#include <gtest/gtest.h>

using namespace Wrenlet;

class FirmwareImageSizes : public testing::TestWithParam<size_t>
{};

TEST_P(FirmwareImageSizes, BuiltImageIsValidAndAnyDamageIsNot)
{
    const auto image = FirmwareImage::build("1.2.3", GetParam());
    ASSERT_EQ(image.size(), GetParam());
    EXPECT_EQ(FirmwareImage::validVersion(image), "1.2.3");

    EXPECT_FALSE(FirmwareImage::validVersion(std::span(image).first(image.size() - 1)));
    for (size_t at : {size_t(0), size_t(5), size_t(12), image.size() / 2, image.size() - 1}) {
        auto changed = image;
        changed[at] ^= 0x10;
        EXPECT_FALSE(FirmwareImage::validVersion(changed)) << "byte " << at;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FirmwareImageSizes, testing::Values(size_t(1301), size_t(256 * 1024)));

TEST(FirmwareImage, ValidInsideLargerFlashAndLongVersionsAreCut)
{
    auto flash = std::vector<uint8_t>(4096, 0xFF);
    const auto image = FirmwareImage::build("a-very-long-version-text", 1000);
    std::copy(image.begin(), image.end(), flash.begin());
    EXPECT_EQ(FirmwareImage::validVersion(flash), "a-very-long-ver");
    EXPECT_FALSE(FirmwareImage::validVersion(std::vector<uint8_t>(4096, 0xFF)));
}
