#include <CoreFoundation/CFPlugInCOM.h>

#include <gtest/gtest.h>

#include <cstddef>

namespace {

// An interface in the style of the IOKit plug-ins: IUnknown first, then its own entries.
struct CounterInterface
{
    IUNKNOWN_C_GUTS;
    int (*Count)(void* thisPointer);
};

struct Counter
{
    CounterInterface* fTable;
    ULONG fReferences;
};

ULONG addRef(void* thisPointer)
{
    return ++reinterpret_cast<Counter*>(thisPointer)->fReferences;
}

ULONG release(void* thisPointer)
{
    return --reinterpret_cast<Counter*>(thisPointer)->fReferences;
}

HRESULT queryInterface(void* thisPointer, REFIID, LPVOID* ppv)
{
    addRef(thisPointer);
    *ppv = thisPointer;
    return 0;
}

int count(void* thisPointer)
{
    return static_cast<int>(reinterpret_cast<Counter*>(thisPointer)->fReferences);
}

TEST(CFPlugInCOM, InterfaceTablesStartWithIUnknown)
{
    static_assert(offsetof(IUnknownVTbl, _reserved) == 0);
    static_assert(offsetof(IUnknownVTbl, QueryInterface) == sizeof(void*));
    static_assert(offsetof(IUnknownVTbl, AddRef) == 2 * sizeof(void*));
    static_assert(offsetof(IUnknownVTbl, Release) == 3 * sizeof(void*));
    static_assert(offsetof(CounterInterface, Count) == sizeof(IUnknownVTbl));

    CounterInterface table{nullptr, queryInterface, addRef, release, count};
    Counter counter{&table, 1};
    void* object = &counter;

    // A caller that knows only IUnknown reaches the same entries through the generic table.
    IUnknownVTbl* generic = *reinterpret_cast<IUnknownVTbl**>(object);
    LPVOID queried = nullptr;
    EXPECT_EQ(generic->QueryInterface(object, CFUUIDBytes{}, &queried), 0);
    EXPECT_EQ(queried, object);
    EXPECT_EQ(generic->Release(object), 1u);
    EXPECT_EQ(table.Count(object), 1);
}

} // namespace
