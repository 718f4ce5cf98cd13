#include "String/StringObject.h"

#include <CFPlatform/String.h>

#include <cstring>
#include <new>

namespace CFPlatform {

CFTypeID StringObject::staticTypeID()
{
    static const CFTypeID type = registerType("CFString");
    return type;
}

bool StringObject::equals(const Object& other) const
{
    return characters() == static_cast<const StringObject&>(other).characters();
}

CFHashCode StringObject::hash() const
{
    return hashCharacters(characters());
}

CFHashCode hashCharacters(std::u16string_view characters)
{
    // FNV-1a over the units: cheap for the short keys dictionaries hold.
    uint64_t hash = 14695981039346656037ULL;
    for (char16_t unit : characters) {
        hash = (hash ^ unit) * 1099511628211ULL;
    }
    return hash == 0 ? 1 : hash;
}

ImmutableString* ImmutableString::create(size_t length)
{
    void* memory = ::operator new(sizeof(ImmutableString) + length * sizeof(char16_t));
    return new (memory) ImmutableString(length);
}

ImmutableString* ImmutableString::create(std::u16string_view characters)
{
    ImmutableString* string = create(characters.size());
    std::memcpy(string->units(), characters.data(), characters.size() * sizeof(char16_t));
    return string;
}

ImmutableString* ImmutableString::createConstant(std::u16string_view characters, const char* literal)
{
    ImmutableString* string = create(characters);
    string->fLiteral = literal;
    string->makeImmortal();
    return string;
}

void ImmutableString::destroy(ImmutableString* string)
{
    delete string;
}

CFHashCode ImmutableString::hash() const
{
    CFHashCode hash = fHash.load(std::memory_order_relaxed);
    if (hash == 0) {
        hash = hashCharacters(characters());
        fHash.store(hash, std::memory_order_relaxed);
    }
    return hash;
}

const StringObject& stringOf(CFStringRef string, const char* call)
{
    auto* object = as<StringObject>(&objectOf(string, call));
    if (!object) {
        fatal(call, "not a CFString");
    }
    return *object;
}

MutableString& mutableStringOf(CFMutableStringRef string, const char* call)
{
    const StringObject& object = stringOf(string, call);
    if (!object.isMutable()) {
        fatal(call, "the string is immutable");
    }
    return const_cast<MutableString&>(static_cast<const MutableString&>(object));
}

std::u16string_view charactersOf(CFStringRef string, const char* call)
{
    return stringOf(string, call).characters();
}

CFStringRef createString(std::u16string_view characters)
{
    return ImmutableString::create(characters)->ref();
}

} // namespace CFPlatform

CFTypeID CFStringGetTypeID(void)
{
    return CFPlatform::StringObject::staticTypeID();
}
