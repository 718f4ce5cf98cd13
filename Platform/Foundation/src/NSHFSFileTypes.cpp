#include <Foundation/NSHFSFileTypes.h>

#include <string>

NS::String NSFileTypeForHFSTypeCode(uint32_t code)
{
    std::string text = "'";
    for (int shift = 24; shift >= 0; shift -= 8) {
        auto byte = static_cast<char>((code >> shift) & 0xFF);
        if (byte != 0) {
            text += byte;
        }
    }
    text += "'";
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                   static_cast<CFIndex>(text.size()), kCFStringEncodingMacRoman, false);
}
