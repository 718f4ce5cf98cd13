#include "USBDeviceInterface.h"

#include "USBDevices.h"

#include <cstring>

namespace IOKit {

namespace {

bool sameUUID(const CFUUIDBytes& bytes, CFUUIDRef uuid)
{
    const CFUUIDBytes other = CFUUIDGetUUIDBytes(uuid);
    return std::memcmp(&bytes, &other, sizeof(bytes)) == 0;
}

// The reference count and device both objects share.
template <typename Table>
struct COMObject
{
    COMObject(const Table* table, std::shared_ptr<SimUSB::HostDevice> device)
        : fTable(table), fDevice(std::move(device))
    {}

    const Table* fTable;
    std::atomic<ULONG> fReferences{1};
    const std::shared_ptr<SimUSB::HostDevice> fDevice;
};

struct DeviceInterface : COMObject<IOUSBDeviceInterface>
{
    using COMObject::COMObject;
    ~DeviceInterface() { USBDevices::shared().forget(this); }
};

struct PlugIn : COMObject<IOCFPlugInInterface>
{
    using COMObject::COMObject;
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

bool isDeviceInterfaceID(const CFUUIDBytes& iid)
{
    return sameUUID(iid, kIOUSBDeviceInterfaceID) || sameUUID(iid, kIOUSBDeviceInterfaceID300);
}

HRESULT deviceQueryInterface(void* thisPointer, REFIID iid, LPVOID* ppv)
{
    if (sameUUID(iid, IUnknownUUID) || isDeviceInterfaceID(iid)) {
        addRef<DeviceInterface>(thisPointer);
        *ppv = thisPointer;
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

uint16_t descriptorWord(void* thisPointer, size_t at)
{
    const std::vector<uint8_t>& bytes = self<DeviceInterface>(thisPointer)->fDevice->deviceDescriptor();
    return bytes.size() < at + 2 ? 0 : uint16_t(bytes[at] | bytes[at + 1] << 8);
}

IOReturn getDeviceVendor(void* thisPointer, UInt16* vendor)
{
    *vendor = descriptorWord(thisPointer, 8);
    return kIOReturnSuccess;
}

IOReturn getDeviceProduct(void* thisPointer, UInt16* product)
{
    *product = descriptorWord(thisPointer, 10);
    return kIOReturnSuccess;
}

IOReturn deviceOpen(void* thisPointer)
{
    return USBDevices::shared().open(self<DeviceInterface>(thisPointer)->fDevice, thisPointer);
}

IOReturn deviceClose(void* thisPointer)
{
    return USBDevices::shared().close(self<DeviceInterface>(thisPointer)->fDevice, thisPointer);
}

IOReturn deviceReEnumerate(void* thisPointer, UInt32 options)
{
    return USBDevices::shared().reEnumerate(self<DeviceInterface>(thisPointer)->fDevice, options);
}

const IOUSBDeviceInterface kDeviceTable = {
    nullptr,
    deviceQueryInterface,
    addRef<DeviceInterface>,
    release<DeviceInterface>,
    getDeviceVendor,
    getDeviceProduct,
    deviceOpen,
    deviceClose,
    deviceReEnumerate,
};

HRESULT plugInQueryInterface(void* thisPointer, REFIID iid, LPVOID* ppv)
{
    if (sameUUID(iid, IUnknownUUID) || sameUUID(iid, kIOCFPlugInInterfaceID)) {
        addRef<PlugIn>(thisPointer);
        *ppv = thisPointer;
        return S_OK;
    }
    if (isDeviceInterfaceID(iid)) {
        *ppv = new DeviceInterface(&kDeviceTable, self<PlugIn>(thisPointer)->fDevice);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

IOReturn plugInProbe(void*, CFDictionaryRef, io_service_t, SInt32*)
{
    return kIOReturnSuccess;
}

IOReturn plugInStart(void*, CFDictionaryRef, io_service_t)
{
    return kIOReturnSuccess;
}

IOReturn plugInStop(void*)
{
    return kIOReturnSuccess;
}

const IOCFPlugInInterface kPlugInTable = {
    nullptr, plugInQueryInterface, addRef<PlugIn>, release<PlugIn>, 1,
    0,       plugInProbe,          plugInStart,    plugInStop,
};

} // namespace

IOCFPlugInInterface** createUSBDevicePlugIn(std::shared_ptr<SimUSB::HostDevice> device)
{
    return reinterpret_cast<IOCFPlugInInterface**>(new PlugIn(&kPlugInTable, std::move(device)));
}

} // namespace IOKit
