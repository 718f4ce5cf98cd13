#pragma once

// The COM layout that plug-in interfaces share: every interface's function table starts with the
// IUnknown entries, so a holder can release any interface through its table.

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFUUID.h>

typedef SInt32 HRESULT;
typedef UInt32 ULONG;
typedef void* LPVOID;
typedef CFUUIDBytes REFIID;

#define IUNKNOWN_C_GUTS                                                                                      \
    void* _reserved;                                                                                         \
    HRESULT (*QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv);                                   \
    ULONG (*AddRef)(void* thisPointer);                                                                      \
    ULONG (*Release)(void* thisPointer)

typedef struct IUnknownVTbl
{
    IUNKNOWN_C_GUTS;
} IUnknownVTbl;
