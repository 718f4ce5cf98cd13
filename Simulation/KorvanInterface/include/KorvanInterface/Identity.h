#pragma once

// The models of the interface family and what sets them apart: product id and string, release, and
// the channel counts of each rate family. The vendor id is not here: hosts and tests pass it.

#include <array>
#include <cstdint>
#include <string>

namespace KorvanInterface {

enum class Model
{
    Wrenlet,
    Pyx,
    Brio,
    Tenor,
    Basso,
};

constexpr std::array<Model, 5> kModels{Model::Wrenlet, Model::Pyx, Model::Brio, Model::Tenor, Model::Basso};

// The rate families and the alternate setting that carries each: 1x (44.1/48 kHz) on alternate 1,
// 2x (88.2/96 kHz) on 2, 4x (176.4/192 kHz) on 3.
enum class Family
{
    Single = 0,
    Double = 1,
    Quad = 2,
};

struct ChannelCounts
{
    uint8_t in = 0;
    uint8_t out = 0;
};

struct ModelInfo
{
    const char* product;
    uint16_t idProduct;
    uint16_t bcdDevice;
    std::array<ChannelCounts, 3> channels; // by family
};

const ModelInfo& modelInfo(Model model);
std::string modelName(Model model);

// The family of a sample rate; false for a rate the device does not run at.
bool familyOfRate(uint32_t rate, Family* family);
// The highest rate of a family, and the most sample frames one microframe can carry at it, with
// drift and 44.1 kHz patterns: ceil(rate / 8000) + 1.
uint32_t highestRate(Family family);
uint32_t framesPerMicroframeBound(Family family);

constexpr std::array<uint32_t, 6> kRates{44100, 48000, 88200, 96000, 176400, 192000};

} // namespace KorvanInterface
