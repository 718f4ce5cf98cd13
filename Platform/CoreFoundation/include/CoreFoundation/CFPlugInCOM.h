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

// Results of the IUnknown entries.
#define S_OK ((HRESULT)0x00000000)
#define E_NOINTERFACE ((HRESULT)0x80000004)

// The interface every plug-in interface table answers to.
#define IUnknownUUID                                                                                         \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00,   \
                                   0x00, 0x00, 0x00, 0x00, 0x46)
