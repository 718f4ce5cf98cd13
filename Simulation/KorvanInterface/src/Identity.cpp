#include <KorvanInterface/Identity.h>

namespace KorvanInterface {

namespace {

// Inputs and outputs per family. Brio, Tenor and Basso get four extra inputs in the plug-in, so they
// stay at 28 or fewer.
constexpr ModelInfo kModelTable[] = {
    {"Wrenlet", 0x000C, 0x0210, {{{20, 22}, {12, 14}, {8, 10}}}},
    {"Pyx", 0x000E, 0x0104, {{{8, 8}, {8, 8}, {4, 4}}}},
    {"Brio", 0x0010, 0x0100, {{{2, 2}, {2, 2}, {2, 2}}}},
    {"Tenor", 0x0011, 0x0100, {{{4, 4}, {4, 4}, {4, 4}}}},
    {"Basso", 0x0012, 0x0100, {{{6, 6}, {6, 6}, {6, 6}}}},
};

} // namespace

const ModelInfo& modelInfo(Model model)
{
    return kModelTable[int(model)];
}

std::string modelName(Model model)
{
    return modelInfo(model).product;
}

bool familyOfRate(uint32_t rate, Family* family)
{
    switch (rate) {
    case 44100:
    case 48000:
        *family = Family::Single;
        return true;
    case 88200:
    case 96000:
        *family = Family::Double;
        return true;
    case 176400:
    case 192000:
        *family = Family::Quad;
        return true;
    default:
        return false;
    }
}

uint32_t highestRate(Family family)
{
    return 48000u << int(family);
}

uint32_t framesPerMicroframeBound(Family family)
{
    return (highestRate(family) + 7999) / 8000 + 1;
}

} // namespace KorvanInterface
