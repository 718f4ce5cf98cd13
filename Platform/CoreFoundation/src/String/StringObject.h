#pragma once

// The CFString object: UTF-16 units, immutable (units stored after the object, one allocation)
// or mutable.

#include "TypedObject.h"

#include <CFPlatform/Object.h>
#include <CFPlatform/String.h>
#include <CoreFoundation/CFString.h>

#include <atomic>
#include <string>
#include <string_view>

namespace CFPlatform {

class StringObject : public Object
{
public:
    // Inline, as the accessors below: dictionaries and comparisons reach strings at every step.
    static CFTypeID staticTypeID()
    {
        static const CFTypeID type = registerType("CFString");
        return type;
    }
    CFTypeID typeID() const override { return staticTypeID(); }
    bool equals(const Object& other) const override;
    CFHashCode hash() const override;

    std::u16string_view characters() const { return {fUnits, fLength}; }
    virtual bool isMutable() const { return false; }
    // The UTF-8 literal a constant string was made from, or nullptr.
    virtual const char* literal() const { return nullptr; }

    CFStringRef ref() const { return reinterpret_cast<CFStringRef>(static_cast<const Object*>(this)); }

protected:
    void setCharacters(const char16_t* units, size_t length)
    {
        fUnits = units;
        fLength = length;
    }

private:
    const char16_t* fUnits = nullptr;
    size_t fLength = 0;
};

class ImmutableString final : public StringObject
{
public:
    // A string of `length` units, written through `units()` before the string is shared.
    static ImmutableString* create(size_t length);
    static ImmutableString* create(std::u16string_view characters);
    // An immortal string that keeps `literal` (which must outlive the process) for
    // CFStringGetCStringPtr.
    static ImmutableString* createConstant(std::u16string_view characters, const char* literal);
    // Frees a string made by create() that was never shared.
    static void destroy(ImmutableString* string);

    static void operator delete(void* memory) { ::operator delete(memory); }

    char16_t* units() { return reinterpret_cast<char16_t*>(this + 1); }
    const char* literal() const override { return fLiteral; }
    CFHashCode hash() const override;

private:
    explicit ImmutableString(size_t length) { setCharacters(units(), length); }
    ~ImmutableString() override = default;

    const char* fLiteral = nullptr;
    // 0 until first asked (hashCharacters never answers 0).
    mutable std::atomic<CFHashCode> fHash{0};
    // The units follow the object in the same allocation.
};

class MutableString final : public StringObject
{
public:
    explicit MutableString(std::u16string_view characters) : fUnits(characters) { refresh(); }

    bool isMutable() const override { return true; }

    void append(std::u16string_view characters)
    {
        fUnits.append(characters);
        refresh();
    }

    CFMutableStringRef mutableRef()
    {
        return reinterpret_cast<CFMutableStringRef>(static_cast<Object*>(this));
    }

private:
    void refresh() { setCharacters(fUnits.data(), fUnits.size()); }

    std::u16string fUnits;
};

// The string behind a reference; ends the process with a message naming `call` when it is NULL or
// not a string. Inline, unlike objectAs: every string call passes here, and many take only a few
// nanoseconds.
inline const StringObject& stringOf(CFStringRef string, const char* call)
{
    const StringObject* object = as<StringObject>(string);
    if (!object) {
        wrongObject(string, call, StringObject::staticTypeID());
    }
    return *object;
}

inline std::u16string_view viewOf(CFStringRef string, const char* call)
{
    return stringOf(string, call).characters();
}

// The same for a string that is about to change; an immutable string ends the process too.
inline MutableString& mutableStringOf(CFMutableStringRef string, const char* call)
{
    return static_cast<MutableString&>(mutableObjectAs<StringObject>(string, call));
}

// Never 0.
CFHashCode hashCharacters(std::u16string_view characters);

} // namespace CFPlatform
