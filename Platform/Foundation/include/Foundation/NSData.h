#pragma once

// Immutable bytes, with their Base64 form (standard alphabet, padded, no line breaks).

#include <Foundation/NSObject.h>
#include <Foundation/NSTypes.h>

#include <string>
#include <string_view>

namespace NS {

class Data : public Object
{
public:
    // Made with a retain count of one.
    static Data* dataWithBytes(const void* bytes, size_t length);
    // NULL when the text is not whole Base64 groups of the standard alphabet.
    static Data* createWithBase64EncodedString(String base64);

    // Options are the line-break options; 0 gives one unbroken line. The caller releases the string.
    String base64EncodedStringWithOptions(unsigned long options) const;
    // The same text as UTF-8 bytes, for callers that build text from it.
    static std::string base64EncodedString(std::string_view bytes);

    const void* bytes() const { return fBytes.data(); }
    size_t length() const { return fBytes.size(); }
    std::string_view view() const { return fBytes; }

private:
    explicit Data(std::string bytes) : fBytes(std::move(bytes)) {}

    const std::string fBytes;
};

} // namespace NS
