#include "HexDigit.h"
#include "TypedObject.h"
#include <CFPlatform/Object.h>
#include <CFPlatform/String.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFUUID.h>

#include <array>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>
#include <uuid/uuid.h>

namespace {

using Bytes = std::array<UInt8, 16>;

class UUIDObject final : public CFPlatform::Object
{
public:
    explicit UUIDObject(const Bytes& bytes) : fBytes(bytes) {}

    static CFTypeID staticTypeID()
    {
        static const CFTypeID type = CFPlatform::registerType("CFUUID");
        return type;
    }
    CFTypeID typeID() const override { return staticTypeID(); }
    bool equals(const Object& other) const override
    {
        return fBytes == static_cast<const UUIDObject&>(other).fBytes;
    }
    CFHashCode hash() const override
    {
        return std::hash<std::string_view>()(
            std::string_view(reinterpret_cast<const char*>(fBytes.data()), 16));
    }

    const Bytes& bytes() const { return fBytes; }

    CFUUIDRef ref() const { return reinterpret_cast<CFUUIDRef>(static_cast<const Object*>(this)); }

private:
    Bytes fBytes;
};

Bytes bytesOf(const CFUUIDBytes& bytes)
{
    static_assert(sizeof(CFUUIDBytes) == 16);
    Bytes result;
    std::memcpy(result.data(), &bytes, 16);
    return result;
}

bool isHyphenPosition(size_t i)
{
    return i == 8 || i == 13 || i == 18 || i == 23;
}

} // namespace

CFTypeID CFUUIDGetTypeID(void)
{
    return UUIDObject::staticTypeID();
}

CFUUIDRef CFUUIDCreate(CFAllocatorRef)
{
    Bytes bytes;
    uuid_generate_random(bytes.data());
    return (new UUIDObject(bytes))->ref();
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes bytes)
{
    return (new UUIDObject(bytesOf(bytes)))->ref();
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 byte0, UInt8 byte1, UInt8 byte2, UInt8 byte3,
                                         UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7, UInt8 byte8,
                                         UInt8 byte9, UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13,
                                         UInt8 byte14, UInt8 byte15)
{
    Bytes bytes{byte0, byte1, byte2,  byte3,  byte4,  byte5,  byte6,  byte7,
                byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15};
    // Never destroyed: constants outlive every other static object.
    static auto* constants = new std::map<Bytes, CFUUIDRef>;
    static auto* lock = new std::mutex;
    std::lock_guard guard(*lock);
    CFUUIDRef& constant = (*constants)[bytes];
    if (!constant) {
        auto* uuid = new UUIDObject(bytes);
        uuid->makeImmortal();
        constant = uuid->ref();
    }
    return constant;
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid)
{
    CFUUIDBytes bytes;
    std::memcpy(&bytes, CFPlatform::objectAs<UUIDObject>(uuid, "CFUUIDGetUUIDBytes").bytes().data(), 16);
    return bytes;
}

CFStringRef CFUUIDCreateString(CFAllocatorRef, CFUUIDRef uuid)
{
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    const Bytes& bytes = CFPlatform::objectAs<UUIDObject>(uuid, "CFUUIDCreateString").bytes();
    std::u16string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += u'-';
        }
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
    }
    return CFPlatform::createString(text);
}

CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef, CFStringRef uuidStr)
{
    std::u16string_view text = CFPlatform::charactersOf(uuidStr, "CFUUIDCreateFromString");
    if (text.size() != 36) {
        return nullptr;
    }
    Bytes bytes{};
    size_t digits = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (isHyphenPosition(i)) {
            if (text[i] != u'-') {
                return nullptr;
            }
            continue;
        }
        int value = CFPlatform::hexDigitValue(text[i]);
        if (value < 0) {
            return nullptr;
        }
        bytes[digits / 2] = static_cast<UInt8>(bytes[digits / 2] << 4 | value);
        ++digits;
    }
    return (new UUIDObject(bytes))->ref();
}
