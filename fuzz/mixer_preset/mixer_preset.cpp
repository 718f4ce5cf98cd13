// Preset files from outside and texts from the page. The first byte picks the case: a file's bytes
// are loaded, or a text is saved and loaded back. A file is applied exactly when it is UTF-8 holding
// "kAPIVersion" or UTF-16 with a byte-order mark, within 16 MiB; the page decodes the payload to
// exactly the text read; a saved file holds exactly the text's UTF-8 bytes.

#include <MixerPageModel.h>
#include <PresetFile.h>

#include <Foundation/NSString.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "mixer_preset: %s\n", what);
    std::abort();
}

// Well-formed UTF-8 by the standard's table, written here apart from the platform's decoder.
bool isUTF8(const std::string& bytes)
{
    for (size_t i = 0; i < bytes.size();) {
        const auto b = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
        const unsigned char c = b(i);
        size_t length;
        unsigned char low = 0x80, high = 0xBF;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            low = c == 0xE0 ? 0xA0 : 0x80;
            high = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            low = c == 0xF0 ? 0x90 : 0x80;
            high = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (i + length > bytes.size() || b(i + 1) < low || b(i + 1) > high) {
            return false;
        }
        for (size_t k = 2; k < length; ++k) {
            if (b(i + k) < 0x80 || b(i + k) > 0xBF) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

bool isMarkedUTF16(const std::string& bytes)
{
    if (bytes.size() < 2 || bytes.size() % 2 != 0) {
        return false;
    }
    const bool little = bytes.starts_with("\xFF\xFE");
    if (!little && !bytes.starts_with("\xFE\xFF")) {
        return false;
    }
    bool expectLow = false;
    for (size_t i = 2; i < bytes.size(); i += 2) {
        const unsigned a = static_cast<unsigned char>(bytes[i]);
        const unsigned b = static_cast<unsigned char>(bytes[i + 1]);
        const unsigned unit = little ? (b << 8 | a) : (a << 8 | b);
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (expectLow != low) {
            return false;
        }
        expectLow = high;
    }
    return !expectLow;
}

std::string fileName()
{
    static const std::string name =
        (std::filesystem::temp_directory_path() / ("mixer_preset-" + std::to_string(getpid()) + ".preset"))
            .string();
    return name;
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Loads the file as the host does; answers the text the page received, if any.
std::optional<std::string> load()
{
    NS::String path = NS::createStringWithUTF8(fileName());
    NS::String text = readPresetText(path);
    CFRelease(path);
    if (!text) {
        return std::nullopt;
    }
    NS::String script = applyPresetScript(text);
    MixerPageModel page;
    page.evaluate(NS::UTF8String(script));
    if (!page.problems().empty() || page.lastPreset() != NS::UTF8String(text)) {
        fail("the page's preset is not the text read");
    }
    CFRelease(script);
    CFRelease(text);
    return page.lastPreset();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] % 2 == 0) {
        std::ofstream(fileName(), std::ios::binary) << bytes;
        const bool expected =
            (isUTF8(bytes) && bytes.find("kAPIVersion") != std::string::npos) || isMarkedUTF16(bytes);
        if (load().has_value() != expected) {
            fail("a file applied against the rule");
        }
    } else if (NS::String text = NS::createStringWithUTF8(bytes)) {
        NS::String path = NS::createStringWithUTF8(fileName());
        if (!NS::writeToFile(text, path, true, NS::UTF8StringEncoding, nullptr) ||
            readFile(fileName()) != bytes) {
            fail("a saved file does not hold the text's bytes");
        }
        if (bytes.find("kAPIVersion") != std::string::npos && load() != bytes) {
            fail("a saved preset does not load back");
        }
        CFRelease(path);
        CFRelease(text);
    }
    std::remove(fileName().c_str());
    return 0;
}
