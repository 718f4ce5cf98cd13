#include <CFPlatform/Object.h>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

namespace CFPlatform {

namespace {

constexpr intptr_t kImmortal = std::numeric_limits<intptr_t>::max() / 2;

struct TypeTable
{
    std::mutex fLock;
    // Index 0 is unused: a type id of 0 never names a type.
    std::vector<std::string> fNames{""};
};

TypeTable& typeTable()
{
    static auto* table = new TypeTable;
    return *table;
}

} // namespace

void Object::retain() const
{
    if (fRetainCount.load(std::memory_order_relaxed) >= kImmortal) {
        return;
    }
    fRetainCount.fetch_add(1, std::memory_order_relaxed);
}

bool Object::retainUnlessReleased() const
{
    intptr_t count = fRetainCount.load(std::memory_order_relaxed);
    do {
        if (count == 0) {
            return false;
        }
        if (count >= kImmortal) {
            return true;
        }
    } while (!fRetainCount.compare_exchange_weak(count, count + 1, std::memory_order_relaxed));
    return true;
}

void Object::release() const
{
    if (fRetainCount.load(std::memory_order_relaxed) >= kImmortal) {
        return;
    }
    if (fRetainCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

CFIndex Object::retainCount() const
{
    intptr_t count = fRetainCount.load(std::memory_order_relaxed);
    return count >= kImmortal ? std::numeric_limits<CFIndex>::max() : count;
}

void Object::makeImmortal() const
{
    fRetainCount.store(kImmortal, std::memory_order_relaxed);
}

CFTypeID registerType(const char* name)
{
    TypeTable& table = typeTable();
    std::lock_guard lock(table.fLock);
    table.fNames.emplace_back(name);
    return table.fNames.size() - 1;
}

const char* typeName(CFTypeID type)
{
    TypeTable& table = typeTable();
    std::lock_guard lock(table.fLock);
    return type < table.fNames.size() ? table.fNames[type].c_str() : "unknown";
}

const Object& objectOf(CFTypeRef cf, const char* call)
{
    if (!cf) {
        fatal(call, "NULL argument");
    }
    return *static_cast<const Object*>(cf);
}

void fatal(const char* call, const char* message)
{
    std::fprintf(stderr, "%s: %s\n", call, message);
    std::fflush(stderr);
    std::abort();
}

} // namespace CFPlatform

using CFPlatform::objectOf;

namespace {

struct Allocator final : CFPlatform::Object
{
    static CFTypeID staticTypeID()
    {
        static const CFTypeID type = CFPlatform::registerType("CFAllocator");
        return type;
    }
    CFTypeID typeID() const override { return staticTypeID(); }
};

CFAllocatorRef makeAllocator()
{
    auto* allocator = new Allocator;
    allocator->makeImmortal();
    return reinterpret_cast<CFAllocatorRef>(static_cast<const CFPlatform::Object*>(allocator));
}

} // namespace

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFAllocatorRef kCFAllocatorSystemDefault = makeAllocator();
const CFAllocatorRef kCFAllocatorMalloc = makeAllocator();
const CFAllocatorRef kCFAllocatorNull = makeAllocator();

CFTypeID CFAllocatorGetTypeID(void)
{
    return Allocator::staticTypeID();
}

CFTypeRef CFRetain(CFTypeRef cf)
{
    objectOf(cf, "CFRetain").retain();
    return cf;
}

void CFRelease(CFTypeRef cf)
{
    objectOf(cf, "CFRelease").release();
}

CFIndex CFGetRetainCount(CFTypeRef cf)
{
    return objectOf(cf, "CFGetRetainCount").retainCount();
}

CFTypeID CFGetTypeID(CFTypeRef cf)
{
    return objectOf(cf, "CFGetTypeID").typeID();
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2)
{
    if (!cf1 || !cf2) {
        return false;
    }
    if (cf1 == cf2) {
        return true;
    }
    auto* a = static_cast<const CFPlatform::Object*>(cf1);
    auto* b = static_cast<const CFPlatform::Object*>(cf2);
    return a->typeID() == b->typeID() && a->equals(*b);
}

CFHashCode CFHash(CFTypeRef cf)
{
    return objectOf(cf, "CFHash").hash();
}
