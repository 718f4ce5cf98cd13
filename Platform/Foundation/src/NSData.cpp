#include <Foundation/NSData.h>

#include <CFPlatform/Base64.h>
#include <CFPlatform/String.h>

namespace NS {

Data* Data::dataWithBytes(const void* bytes, size_t length)
{
    return new Data(std::string(static_cast<const char*>(bytes), length));
}

Data* Data::createWithBase64EncodedString(String base64)
{
    std::optional<std::string> text = base64 ? CFPlatform::utf8Of(base64) : std::nullopt;
    if (!text || text->find_first_of(" \t\r\n") != std::string::npos) {
        return nullptr;
    }
    std::optional<std::vector<unsigned char>> bytes = CFPlatform::decodeBase64(*text);
    if (!bytes) {
        return nullptr;
    }
    return new Data(std::string(bytes->begin(), bytes->end()));
}

std::string Data::base64EncodedString(std::string_view bytes)
{
    return CFPlatform::encodeBase64(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

String Data::base64EncodedStringWithOptions(unsigned long) const
{
    return CFPlatform::createStringFromUTF8(base64EncodedString(fBytes));
}

} // namespace NS
