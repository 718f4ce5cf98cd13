#include "TypedObject.h"
#include <CFPlatform/Object.h>
#include <CoreFoundation/CFData.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

// Owned bytes live in fStorage; bytes taken without copying are kept by pointer and freed with
// free() at the end unless their deallocator was kCFAllocatorNull.
class DataObject final : public CFPlatform::Object
{
public:
    DataObject(const UInt8* bytes, size_t length, bool isMutable)
        : fStorage(bytes, bytes + length), fMutable(isMutable)
    {}
    DataObject(const UInt8* bytes, size_t length, CFAllocatorRef deallocator)
        : fBorrowed(bytes), fBorrowedLength(length), fFreeBorrowed(deallocator != kCFAllocatorNull)
    {}
    ~DataObject() override
    {
        if (fFreeBorrowed) {
            std::free(const_cast<UInt8*>(fBorrowed));
        }
    }

    static CFTypeID staticTypeID()
    {
        static const CFTypeID type = CFPlatform::registerType("CFData");
        return type;
    }
    CFTypeID typeID() const override { return staticTypeID(); }
    bool equals(const Object& other) const override
    {
        return bytes() == static_cast<const DataObject&>(other).bytes();
    }
    CFHashCode hash() const override { return std::hash<std::string_view>()(bytes()); }

    std::string_view bytes() const
    {
        if (fBorrowed) {
            return {reinterpret_cast<const char*>(fBorrowed), fBorrowedLength};
        }
        return {reinterpret_cast<const char*>(fStorage.data()), fStorage.size()};
    }
    const UInt8* pointer() const { return fBorrowed ? fBorrowed : fStorage.data(); }
    bool isMutable() const { return fMutable; }
    std::vector<UInt8>& storage() { return fStorage; }

    CFDataRef ref() const { return reinterpret_cast<CFDataRef>(static_cast<const Object*>(this)); }
    CFMutableDataRef mutableRef() { return reinterpret_cast<CFMutableDataRef>(static_cast<Object*>(this)); }

private:
    std::vector<UInt8> fStorage;
    const UInt8* fBorrowed = nullptr;
    size_t fBorrowedLength = 0;
    bool fFreeBorrowed = false;
    bool fMutable = false;
};

bool isValidBuffer(const UInt8* bytes, CFIndex length)
{
    return length >= 0 && (bytes || length == 0);
}

} // namespace

CFTypeID CFDataGetTypeID(void)
{
    return DataObject::staticTypeID();
}

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length)
{
    if (!isValidBuffer(bytes, length)) {
        return nullptr;
    }
    return (new DataObject(bytes, static_cast<size_t>(length), false))->ref();
}

CFDataRef CFDataCreateWithBytesNoCopy(CFAllocatorRef, const UInt8* bytes, CFIndex length,
                                      CFAllocatorRef bytesDeallocator)
{
    if (!isValidBuffer(bytes, length)) {
        return nullptr;
    }
    return (new DataObject(bytes, static_cast<size_t>(length), bytesDeallocator))->ref();
}

CFDataRef CFDataCreateCopy(CFAllocatorRef, CFDataRef theData)
{
    const DataObject& data = CFPlatform::objectAs<DataObject>(theData, "CFDataCreateCopy");
    if (!data.isMutable()) {
        return static_cast<CFDataRef>(CFRetain(theData));
    }
    return (new DataObject(data.pointer(), data.bytes().size(), false))->ref();
}

CFMutableDataRef CFDataCreateMutable(CFAllocatorRef, CFIndex)
{
    return (new DataObject(nullptr, 0, true))->mutableRef();
}

CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef, CFIndex, CFDataRef theData)
{
    const DataObject& data = CFPlatform::objectAs<DataObject>(theData, "CFDataCreateMutableCopy");
    return (new DataObject(data.pointer(), data.bytes().size(), true))->mutableRef();
}

CFIndex CFDataGetLength(CFDataRef theData)
{
    return static_cast<CFIndex>(CFPlatform::objectAs<DataObject>(theData, "CFDataGetLength").bytes().size());
}

const UInt8* CFDataGetBytePtr(CFDataRef theData)
{
    return CFPlatform::objectAs<DataObject>(theData, "CFDataGetBytePtr").pointer();
}

UInt8* CFDataGetMutableBytePtr(CFMutableDataRef theData)
{
    const DataObject& data = CFPlatform::objectAs<DataObject>(theData, "CFDataGetMutableBytePtr");
    return data.isMutable() ? const_cast<DataObject&>(data).storage().data() : nullptr;
}

void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8* buffer)
{
    std::string_view bytes = CFPlatform::objectAs<DataObject>(theData, "CFDataGetBytes").bytes();
    if (range.location < 0 || range.length < 0 ||
        range.location > static_cast<CFIndex>(bytes.size()) - range.length) {
        CFPlatform::fatal("CFDataGetBytes", "range outside the data");
    }
    if (range.length > 0) {
        std::memcpy(buffer, bytes.data() + range.location, static_cast<size_t>(range.length));
    }
}

void CFDataAppendBytes(CFMutableDataRef theData, const UInt8* bytes, CFIndex length)
{
    std::vector<UInt8>& storage =
        CFPlatform::mutableObjectAs<DataObject>(theData, "CFDataAppendBytes").storage();
    if (!isValidBuffer(bytes, length)) {
        CFPlatform::fatal("CFDataAppendBytes", "invalid bytes");
    }
    // Bytes of the data itself would move while the vector grows.
    std::vector<UInt8> appended(bytes, bytes + length);
    storage.insert(storage.end(), appended.begin(), appended.end());
}

void CFDataSetLength(CFMutableDataRef theData, CFIndex length)
{
    std::vector<UInt8>& storage =
        CFPlatform::mutableObjectAs<DataObject>(theData, "CFDataSetLength").storage();
    if (length < 0) {
        CFPlatform::fatal("CFDataSetLength", "negative length");
    }
    storage.resize(static_cast<size_t>(length), 0);
}
