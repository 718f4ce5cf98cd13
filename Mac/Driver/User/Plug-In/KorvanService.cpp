#include "KorvanService.h"

#include "AutoCFRef.h"
#include "HostTime.h"
#include "Log.h"

#include <mach/mach_time.h>

namespace {

constexpr uint64_t kUIDRetryDelay = 100'000'000; // ns

} // namespace

KorvanService::KorvanService(io_service_t service, BusType busType) : fBusType(busType)
{
    if (service == 0) {
        return;
    }
    fService = service;
    IOObjectRetain(fService);
    fUID = GetIORegStringProperty(fService, CFSTR(kKorvanDeviceUIDProperty));
    if (fUID.empty()) {
        // The driver publishes the UID property after registering its service.
        mach_wait_until(vork::HostTime::DeadlineAfter(kUIDRetryDelay));
        fUID = GetIORegStringProperty(fService, CFSTR(kKorvanDeviceUIDProperty));
    }
    TIDE_LOG(Log::Info, "Korvan service %s", fUID.c_str());
}

KorvanService::KorvanService(const KorvanService& other)
    : fService(other.fService), fUID(other.fUID), fBusType(other.fBusType)
{
    if (fService != 0) {
        IOObjectRetain(fService);
    }
}

KorvanService& KorvanService::operator=(const KorvanService& other)
{
    if (this != &other) {
        if (other.fService != 0) {
            IOObjectRetain(other.fService);
        }
        Release();
        fService = other.fService;
        fUID = other.fUID;
        fBusType = other.fBusType;
    }
    return *this;
}

KorvanService::~KorvanService()
{
    Release();
}

void KorvanService::Release()
{
    if (fService != 0) {
        IOObjectRelease(fService);
        fService = 0;
    }
}

bool KorvanService::operator==(const KorvanService& other) const
{
    if (fService == 0 || other.fService == 0) {
        return false;
    }
    if (fService == other.fService) {
        return true;
    }
    // Two services whose UIDs could not be read are not known to be one device.
    return !fUID.empty() && fUID == other.fUID;
}

std::string KorvanService::GetIORegStringProperty(io_registry_entry_t entry, CFStringRef key)
{
    auto_cfref<CFTypeRef> property(IORegistryEntryCreateCFProperty(entry, key, kCFAllocatorDefault, 0));
    if (!property || CFGetTypeID(property.get()) != CFStringGetTypeID()) {
        return {};
    }
    char text[128] = {};
    if (!CFStringGetCString(static_cast<CFStringRef>(property.get()), text, sizeof(text),
                            kCFStringEncodingASCII)) {
        return {};
    }
    return text;
}
