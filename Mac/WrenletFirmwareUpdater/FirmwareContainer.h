#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

// A verified firmware container: the firmware and FPGA version texts and the four sections
// (1: the microcontroller's flash image; 2, 3, 4: the FPGA files of models A, B and C). The
// sections are views of one immutable byte buffer shared by every holder, so an update keeps
// exactly the bytes it started with whatever file arrives meanwhile.
class FirmwareContainer
{
public:
    static constexpr int kSectionCount = 4;

    struct Range
    {
        size_t offset = 0;
        size_t size = 0;
    };

    // Views the given ranges of `bytes`; null when a range does not lie inside them.
    static std::shared_ptr<const FirmwareContainer> Make(std::shared_ptr<const std::vector<uint8_t>> bytes,
                                                         std::string firmwareVersion, std::string fpgaVersion,
                                                         const std::array<Range, kSectionCount>& sections)
    {
        if (!bytes)
            return nullptr;
        std::array<std::span<const uint8_t>, kSectionCount> views;
        for (int i = 0; i < kSectionCount; ++i) {
            const Range& range = sections[i];
            if (range.offset > bytes->size() || range.size > bytes->size() - range.offset)
                return nullptr;
            views[i] = std::span<const uint8_t>(bytes->data() + range.offset, range.size);
        }
        return std::shared_ptr<const FirmwareContainer>(new FirmwareContainer(
            std::move(bytes), std::move(firmwareVersion), std::move(fpgaVersion), views));
    }

    // Lays the sections back to back in one new buffer.
    static std::shared_ptr<const FirmwareContainer>
    FromParts(std::string firmwareVersion, std::string fpgaVersion,
              const std::array<std::vector<uint8_t>, kSectionCount>& parts)
    {
        auto bytes = std::make_shared<std::vector<uint8_t>>();
        std::array<Range, kSectionCount> ranges;
        for (int i = 0; i < kSectionCount; ++i) {
            ranges[i] = Range{bytes->size(), parts[i].size()};
            bytes->insert(bytes->end(), parts[i].begin(), parts[i].end());
        }
        return Make(std::move(bytes), std::move(firmwareVersion), std::move(fpgaVersion), ranges);
    }

    const std::string& FirmwareVersion() const { return firmwareVersion_; }
    const std::string& FPGAVersion() const { return fpgaVersion_; }

    // Section 1 to 4; an empty view for any other number.
    std::span<const uint8_t> Section(int number) const
    {
        if (number < 1 || number > kSectionCount)
            return {};
        return sections_[number - 1];
    }

private:
    FirmwareContainer(std::shared_ptr<const std::vector<uint8_t>> bytes, std::string firmwareVersion,
                      std::string fpgaVersion,
                      const std::array<std::span<const uint8_t>, kSectionCount>& sections)
        : bytes_(std::move(bytes)), firmwareVersion_(std::move(firmwareVersion)),
          fpgaVersion_(std::move(fpgaVersion)), sections_(sections)
    {}

    std::shared_ptr<const std::vector<uint8_t>> bytes_;
    std::string firmwareVersion_;
    std::string fpgaVersion_;
    std::array<std::span<const uint8_t>, kSectionCount> sections_;
};
