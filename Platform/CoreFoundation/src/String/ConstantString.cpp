#include "String/Encoding.h"
#include "String/StringObject.h"

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

namespace {

struct ConstantTable
{
    std::mutex fLock;
    std::unordered_map<std::string, CFStringRef> fStrings;
};

ConstantTable& constantTable()
{
    // Never destroyed: constants stay valid while other static objects are torn down.
    static auto* table = new ConstantTable;
    return *table;
}

} // namespace

CFStringRef CFPlatformConstantString(const char* utf8)
{
    ConstantTable& table = constantTable();
    std::lock_guard lock(table.fLock);
    auto [entry, inserted] = table.fStrings.try_emplace(utf8, nullptr);
    if (inserted) {
        CFPlatform::ImmutableString* decoded = CFPlatform::decodeBytes(
            reinterpret_cast<const UInt8*>(utf8), std::strlen(utf8), kCFStringEncodingUTF8);
        if (!decoded) {
            CFPlatform::fatal("CFSTR", "the literal is not UTF-8");
        }
        // The table's key keeps the bytes for CFStringGetCStringPtr: a node's key never moves.
        entry->second =
            CFPlatform::ImmutableString::createConstant(decoded->characters(), entry->first.c_str())->ref();
        CFPlatform::ImmutableString::destroy(decoded);
    }
    return entry->second;
}
