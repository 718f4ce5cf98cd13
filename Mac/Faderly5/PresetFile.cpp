#include "PresetFile.h"

#include <Foundation/NSData.h>
#include <Foundation/NSString.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes the descriptor it was given when it goes.
class OpenFile
{
public:
    explicit OpenFile(int descriptor) : fDescriptor(descriptor) {}
    ~OpenFile()
    {
        if (fDescriptor >= 0) {
            close(fDescriptor);
        }
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    int descriptor() const { return fDescriptor; }

private:
    const int fDescriptor;
};

// The bytes of a regular file of at most kMaximumPresetBytes. The file is opened once and
// without waiting, so that a FIFO with no writer cannot hold the main thread; the checks and the
// read are made on that one descriptor, and the read itself stops past the bound, however the
// file grows meanwhile.
std::optional<std::string> readPresetBytes(const std::string& path)
{
    const OpenFile file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info;
    if (file.descriptor() < 0 || fstat(file.descriptor(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    std::string bytes;
    char chunk[64 * 1024];
    while (bytes.size() <= kMaximumPresetBytes) {
        const size_t wanted = std::min(sizeof chunk, kMaximumPresetBytes + 1 - bytes.size());
        const ssize_t got = read(file.descriptor(), chunk, wanted);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            return bytes;
        }
        bytes.append(chunk, static_cast<size_t>(got));
    }
    return std::nullopt;
}

NS::String decode(std::string_view bytes, CFStringEncoding encoding)
{
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                   static_cast<CFIndex>(bytes.size()), encoding, false);
}

// UTF-16 only with a byte-order mark, which gives the order and is not part of the text.
NS::String decodeMarkedUTF16(std::string_view bytes)
{
    CFStringEncoding order;
    if (bytes.starts_with("\xFF\xFE")) {
        order = kCFStringEncodingUTF16LE;
    } else if (bytes.starts_with("\xFE\xFF")) {
        order = kCFStringEncodingUTF16BE;
    } else {
        return nullptr;
    }
    return decode(bytes.substr(2), order);
}

} // namespace

NS::String readPresetText(NS::String path)
{
    const std::optional<std::string> bytes = readPresetBytes(NS::UTF8String(path));
    if (!bytes) {
        return nullptr;
    }
    if (NS::String text = decode(*bytes, kCFStringEncodingUTF8)) {
        if (NS::containsString(text, CFSTR("kAPIVersion"))) {
            return text;
        }
        CFRelease(text);
        return nullptr;
    }
    return decodeMarkedUTF16(*bytes);
}

NS::String applyPresetScript(NS::String text)
{
    NS::String escaped = NS::stringByAddingPercentEncodingWithAllowedCharacters(
        text, NS::CharacterSet::URLQueryAllowedCharacterSet());
    if (!escaped) {
        return nullptr;
    }
    NS::Data* bytes = NS::dataUsingEncoding(escaped, NS::UTF8StringEncoding);
    NS::String base64 = bytes->base64EncodedStringWithOptions(0);
    NS::String script = NS::stringWithFormat("gApp.appdata.datastore.applyPreset('%@')", base64);
    CFRelease(base64);
    bytes->release();
    CFRelease(escaped);
    return script;
}
