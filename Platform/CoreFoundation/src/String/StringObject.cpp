#include "String/StringObject.h"

#include <CFPlatform/String.h>

#include <cstring>
#include <new>

namespace CFPlatform {

bool StringObject::equals(const Object& other) const
{
    std::u16string_view mine = characters();
    std::u16string_view theirs = static_cast<const StringObject&>(other).characters();
    // Units are equal exactly when their bytes are, and memcmp compares many at a time.
    return mine.size() == theirs.size() &&
           std::memcmp(mine.data(), theirs.data(), mine.size() * sizeof(char16_t)) == 0;
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

std::u16string_view charactersOf(CFStringRef string, const char* call)
{
    return viewOf(string, call);
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
