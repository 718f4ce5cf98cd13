#include <Wrenlet/SambaBootLoader.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string_view>

namespace Wrenlet {

namespace {

constexpr const char* kVersionAnswer = "v1.1 Dec 10 2026 07:00:00\n\r";

// 1 to 8 hex digits.
std::optional<uint32_t> parseHex(std::string_view text)
{
    if (text.empty() || text.size() > 8)
        return std::nullopt;
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

SambaBootLoader::SambaBootLoader(ChipState& chip, std::function<void()> reset)
    : fFlash(chip), fReset(std::move(reset))
{}

void SambaBootLoader::receive(std::span<const uint8_t> bytes)
{
    for (uint8_t byte : bytes) {
        switch (fMode) {
        case Mode::Data:
            writeByte(fDataAddress++, byte);
            if (--fDataLeft == 0)
                fMode = Mode::Command;
            break;
        case Mode::SkipToEnd:
            if (byte == '#')
                fMode = Mode::Command;
            break;
        case Mode::Command:
            if (byte == '#') {
                const std::string text = fText;
                fText.clear();
                execute(text);
            } else if (fText.empty() && (byte == '\n' || byte == '\r' || byte == ' ')) {
                // Line ends between commands, as terminals send them.
            } else if (fText.size() == kLongestCommand) {
                fText.clear();
                fail("command too long");
                fMode = Mode::SkipToEnd;
            } else {
                fText.push_back(char(byte));
            }
            break;
        }
    }
}

void SambaBootLoader::execute(const std::string& text)
{
    fFlash.settle();
    fCommands.push_back(text + "#");
    if (text.empty()) {
        fail("empty command");
        return;
    }
    const char letter = text[0];
    const std::string_view rest = std::string_view(text).substr(1);
    const size_t comma = rest.find(',');
    const std::string_view addressText = rest.substr(0, comma);
    const std::string_view argumentText =
        comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);

    if (letter == 'N' || letter == 'T') {
        answerText("\n\r");
        return;
    }
    if (letter == 'V') {
        answerText(kVersionAnswer);
        return;
    }
    if (std::string_view("whoGWHORS").find(letter) == std::string_view::npos) {
        fail("unknown command " + text);
        return;
    }
    const std::optional<uint32_t> address = parseHex(addressText);
    const std::optional<uint32_t> argument = parseHex(argumentText);
    if (!address) {
        fail("bad address in " + text);
        return;
    }
    switch (letter) {
    case 'w':
        answerLittleEndian(readWord(*address), 4);
        return;
    case 'h':
        answerLittleEndian(uint32_t(readByte(*address)) | uint32_t(readByte(*address + 1)) << 8, 2);
        return;
    case 'o':
        answerLittleEndian(readByte(*address), 1);
        return;
    case 'G':
        go(*address);
        return;
    default:
        break;
    }
    if (!argument) {
        fail("bad argument in " + text);
        return;
    }
    switch (letter) {
    case 'W':
        writeWord(*address, *argument);
        return;
    case 'H':
        writeByte(*address, uint8_t(*argument));
        writeByte(*address + 1, uint8_t(*argument >> 8));
        return;
    case 'O':
        writeByte(*address, uint8_t(*argument));
        return;
    case 'R':
        if (*argument > kLongestRawTransfer) {
            fail("read too long in " + text);
            return;
        }
        for (uint32_t i = 0; i < *argument; ++i)
            fAnswer.push_back(readByte(*address + i));
        return;
    case 'S':
        if (*argument > kLongestRawTransfer) {
            fail("send too long in " + text);
            return;
        }
        if (*argument > 0) {
            fDataAddress = *address;
            fDataLeft = *argument;
            fMode = Mode::Data;
            // What lands over an earlier upload replaces it, so that a client's data buffer,
            // uploaded again for every page, never pushes its routine out.
            std::erase_if(fUploads, [&](const auto& upload) {
                return upload.first < *address + *argument && *address < upload.first + upload.second;
            });
            fUploads.emplace_back(*address, *argument);
            if (fUploads.size() > kUploadsKept) {
                fUploads.pop_front();
            }
        }
        return;
    default:
        return;
    }
}

void SambaBootLoader::go(uint32_t address)
{
    // No machine code runs here. The one routine known is the word copy a client uploads with "S"
    // and starts through a block inside it: stack pointer, entry (the upload's start, in Thumb
    // state), then destination, source and word count.
    const uint32_t entry = readWord(address + 4);
    const bool known = std::any_of(fUploads.begin(), fUploads.end(), [&](const auto& upload) {
        return address >= upload.first && address - upload.first < upload.second &&
               entry == (upload.first | 1);
    });
    if (!known) {
        fail("unknown routine at " + std::to_string(address));
        return;
    }
    const uint32_t destination = readWord(address + 8);
    const uint32_t source = readWord(address + 12);
    const uint32_t words = readWord(address + 16);
    if (words > kLongestRawTransfer / 4) {
        fail("word copy too long: " + std::to_string(words));
        return;
    }
    char note[96];
    snprintf(note, sizeof note, "copy %u words from %08X to %08X", words, source, destination);
    fRoutines.push_back(note);
    for (uint32_t i = 0; i < words; ++i) {
        writeWord(destination + 4 * i, readWord(source + 4 * i));
    }
}

void SambaBootLoader::fail(const std::string& what)
{
    fErrors.push_back(what);
}

void SambaBootLoader::answerBytes(std::span<const uint8_t> bytes)
{
    fAnswer.insert(fAnswer.end(), bytes.begin(), bytes.end());
}

void SambaBootLoader::answerText(const char* text)
{
    answerBytes(std::span(reinterpret_cast<const uint8_t*>(text), std::string_view(text).size()));
}

void SambaBootLoader::answerLittleEndian(uint32_t value, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        fAnswer.push_back(uint8_t(value >> (8 * i)));
}

size_t SambaBootLoader::takeAnswer(std::span<uint8_t> space)
{
    size_t count = 0;
    while (count < space.size() && !fAnswer.empty()) {
        space[count++] = fAnswer.front();
        fAnswer.pop_front();
    }
    return count;
}

uint8_t SambaBootLoader::readByte(uint32_t address)
{
    if (inFlash(address))
        return fFlash.readFlashByte(address - kFlashBase);
    if (inSram(address))
        return fSram[address - kSramBase];
    return uint8_t(readWord(address & ~3u) >> (8 * (address & 3)));
}

uint32_t SambaBootLoader::readWord(uint32_t address)
{
    if (inFlash(address) || inSram(address))
        return uint32_t(readByte(address)) | uint32_t(readByte(address + 1)) << 8 |
               uint32_t(readByte(address + 2)) << 16 | uint32_t(readByte(address + 3)) << 24;
    if (address >= FlashController::kRegisterBase && address <= FlashController::kResultRegister)
        return fFlash.readRegister(address);
    switch (address) {
    case kChipIdRegister:
        return kChipId;
    case kChipIdExtensionRegister:
        return kChipIdExtension;
    case kCpuIdRegister:
        return kCpuId;
    default:
        return 0;
    }
}

void SambaBootLoader::writeByte(uint32_t address, uint8_t value)
{
    if (inFlash(address))
        fFlash.latchByte(address - kFlashBase, value);
    else if (inSram(address))
        fSram[address - kSramBase] = value;
}

void SambaBootLoader::writeWord(uint32_t address, uint32_t value)
{
    if (inFlash(address) || inSram(address)) {
        for (uint32_t i = 0; i < 4; ++i)
            writeByte(address + i, uint8_t(value >> (8 * i)));
        return;
    }
    if (address >= FlashController::kRegisterBase && address <= FlashController::kResultRegister) {
        fFlash.writeRegister(address, value);
        return;
    }
    const bool processorReset = address == kResetControlRegister && (value >> 24) == kResetKey && (value & 1);
    const bool systemResetRequest =
        address == kInterruptControlRegister && (value >> 16) == 0x05FA && (value & 4);
    if ((processorReset || systemResetRequest) && fReset)
        fReset();
}

void SambaBootLoader::powerOff()
{
    fFlash.powerOff();
    fMode = Mode::Command;
    fText.clear();
    fDataLeft = 0;
    fAnswer.clear();
}

} // namespace Wrenlet
