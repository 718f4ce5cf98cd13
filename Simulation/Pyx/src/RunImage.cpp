#include <Pyx/RunImage.h>

#include <algorithm>

namespace Pyx {

namespace {

void putLittleEndian(std::vector<uint8_t>& bytes, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i)
        bytes[offset + i] = uint8_t(value >> (8 * i));
}

std::string buildField(const std::string& build)
{
    std::string field(kBuildLength, '\0');
    std::copy_n(build.begin(), std::min(build.size(), kBuildLength), field.begin());
    return field;
}

} // namespace

std::vector<uint8_t> buildRunImage(const RunImageSpec& spec)
{
    std::vector<uint8_t> image(std::max(spec.size, kHeaderSize));
    const std::string header = "PYX-RUNIMAGE";
    std::copy(header.begin(), header.end(), image.begin());
    putLittleEndian(image, 12, spec.major);
    putLittleEndian(image, 16, spec.minor);
    putLittleEndian(image, 20, spec.patch);
    const std::string build = buildField(spec.build);
    std::copy(build.begin(), build.end(), image.begin() + 24);
    for (size_t i = kHeaderSize; i < image.size(); ++i)
        image[i] = uint8_t(spec.fill + (i - kHeaderSize));
    image.resize(spec.size);
    return image;
}

std::string versionText(const RunImageSpec& spec)
{
    return std::to_string(spec.major) + "." + std::to_string(spec.minor) + "." + std::to_string(spec.patch) +
           "+" + buildField(spec.build);
}

} // namespace Pyx
