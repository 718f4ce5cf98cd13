#pragma once

// The COM plumbing the USB library's objects share: each object starts with its function table, so
// that the interface pointer handed out is the object's address, and counts its references.

#include <CoreFoundation/CFPlugInCOM.h>
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOCFPlugIn.h>

#include <atomic>
#include <cstring>

namespace IOKit {

inline bool sameUUID(const CFUUIDBytes& bytes, CFUUIDRef uuid)
{
    const CFUUIDBytes other = CFUUIDGetUUIDBytes(uuid);
    return std::memcmp(&bytes, &other, sizeof(bytes)) == 0;
}

template <typename Table>
struct COMObject
{
    explicit COMObject(const Table* table) : fTable(table) {}

    const Table* fTable;
    std::atomic<ULONG> fReferences{1};
};

template <typename Object>
Object* self(void* thisPointer)
{
    return static_cast<Object*>(thisPointer);
}

template <typename Object>
ULONG addRef(void* thisPointer)
{
    return ++self<Object>(thisPointer)->fReferences;
}

template <typename Object>
ULONG release(void* thisPointer)
{
    Object* object = self<Object>(thisPointer);
    const ULONG left = --object->fReferences;
    if (left == 0) {
        delete object;
    }
    return left;
}

// QueryInterface of an object that answers IUnknown and the ids `answers` accepts with itself.
template <typename Object, bool (*answers)(const CFUUIDBytes&)>
HRESULT queryInterface(void* thisPointer, REFIID iid, LPVOID* ppv)
{
    if (sameUUID(iid, IUnknownUUID) || answers(iid)) {
        addRef<Object>(thisPointer);
        *ppv = thisPointer;
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

inline bool isPlugInID(const CFUUIDBytes& iid)
{
    return sameUUID(iid, kIOCFPlugInInterfaceID);
}

// A plug-in's QueryInterface: for the ids `makes` accepts, a new `Made` with `table` and the
// plug-in's state; for IUnknown and the plug-in id, the plug-in itself.
template <typename PlugIn, typename Made, bool (*makes)(const CFUUIDBytes&), const auto* table>
HRESULT plugInQueryInterface(void* thisPointer, REFIID iid, LPVOID* ppv)
{
    if (makes(iid)) {
        *ppv = new Made(table, *self<PlugIn>(thisPointer));
        return S_OK;
    }
    return queryInterface<PlugIn, isPlugInID>(thisPointer, iid, ppv);
}

// The plug-in entries, which have nothing to do for the USB library.
inline IOReturn plugInProbe(void*, CFDictionaryRef, io_service_t, SInt32*)
{
    return kIOReturnSuccess;
}

inline IOReturn plugInStart(void*, CFDictionaryRef, io_service_t)
{
    return kIOReturnSuccess;
}

inline IOReturn plugInStop(void*)
{
    return kIOReturnSuccess;
}

template <typename PlugIn, HRESULT (*query)(void*, REFIID, LPVOID*)>
inline const IOCFPlugInInterface plugInTable = {
    nullptr, query, addRef<PlugIn>, release<PlugIn>, 1, 0, plugInProbe, plugInStart, plugInStop,
};

} // namespace IOKit
