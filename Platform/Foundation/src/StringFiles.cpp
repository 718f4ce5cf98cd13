#include <Foundation/NSString.h>

#include <CFPlatform/FileReplacement.h>
#include <CFPlatform/String.h>

#include <fstream>
#include <iterator>

namespace NS {

namespace {

// Cocoa's codes for a file that cannot be read, text that cannot be decoded, and a failed write.
constexpr CFIndex kFileReadUnknownError = 256;
constexpr CFIndex kFileReadInapplicableStringEncodingError = 261;
constexpr CFIndex kFileWriteUnknownError = 512;
constexpr CFIndex kFileWriteInapplicableStringEncodingError = 517;

bool fail(Error* error, CFIndex code)
{
    if (error) {
        *error = CFErrorCreate(nullptr, kCFErrorDomainCocoa, code, nullptr);
    }
    return false;
}

std::optional<std::string> readWholeFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) {
        return std::nullopt;
    }
    return bytes;
}

// UTF-16 only with a byte-order mark, whose order it gives; an odd length or an unpaired surrogate
// is refused by the conversion.
String decodeMarkedUTF16(std::string_view bytes)
{
    if (bytes.size() < 2) {
        return nullptr;
    }
    CFStringEncoding order;
    if (bytes.starts_with("\xFF\xFE")) {
        order = kCFStringEncodingUTF16LE;
    } else if (bytes.starts_with("\xFE\xFF")) {
        order = kCFStringEncodingUTF16BE;
    } else {
        return nullptr;
    }
    bytes.remove_prefix(2);
    if (bytes.size() % 2 != 0) {
        return nullptr;
    }
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                   static_cast<CFIndex>(bytes.size()), order, false);
}

} // namespace

String stringWithContentsOfFile(String path, StringEncoding encoding, Error* error)
{
    std::optional<std::string> bytes = path ? readWholeFile(UTF8String(path)) : std::nullopt;
    if (!bytes) {
        fail(error, kFileReadUnknownError);
        return nullptr;
    }
    String text = nullptr;
    if (encoding == UTF8StringEncoding) {
        text = CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(bytes->data()),
                                       static_cast<CFIndex>(bytes->size()), kCFStringEncodingUTF8, false);
    } else if (encoding == UnicodeStringEncoding) {
        text = decodeMarkedUTF16(*bytes);
    }
    if (!text) {
        fail(error, kFileReadInapplicableStringEncodingError);
    }
    return text;
}

bool writeToFile(String string, String path, bool atomically, StringEncoding encoding, Error* error)
{
    std::optional<std::string> utf8 = string ? CFPlatform::utf8Of(string) : std::nullopt;
    if (encoding != UTF8StringEncoding || !utf8 || !path) {
        return fail(error, kFileWriteInapplicableStringEncodingError);
    }
    const std::string target = UTF8String(path);
    if (atomically) {
        std::string problem;
        return CFPlatform::replaceFileContent(target, *utf8, problem) || fail(error, kFileWriteUnknownError);
    }
    std::ofstream file(target, std::ios::binary | std::ios::trunc);
    file.write(utf8->data(), static_cast<std::streamsize>(utf8->size()));
    file.close();
    return !file.fail() || fail(error, kFileWriteUnknownError);
}

} // namespace NS
