#include <USBDiscoveryMac.h>

#include <CoreFoundation/CFNumber.h>

#include <algorithm>
#include <chrono>

namespace {

constexpr auto kPublishDebounce = std::chrono::milliseconds(1000);

void addNumber(CFMutableDictionaryRef dictionary, CFStringRef key, int32_t value)
{
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
    CFDictionarySetValue(dictionary, key, number);
    CFRelease(number);
}

} // namespace

USBDiscoveryMac::USBDiscoveryMac(Client& client, const std::vector<USBMatchingInfo>& matching)
    : fClient(client), fDispatcher(std::make_unique<Dispatcher>([](const auto& message) { message(); }))
{
    fPort = IONotificationPortCreate(kIOMasterPortDefault);
    for (const USBMatchingInfo& info : matching) {
        MatchIterator& published = fPublished.emplace_back(MatchIterator{this, info, 0, 0});
        MatchIterator& terminated = fTerminated.emplace_back(MatchIterator{this, info, 0, 0});
        CFMutableDictionaryRef dictionary = IOServiceMatching("IOUSBDevice");
        addNumber(dictionary, CFSTR("idVendor"), info.idVendor);
        addNumber(dictionary, CFSTR("idProduct"), info.idProduct);
        // Each registration consumes one reference.
        CFRetain(dictionary);
        IOServiceAddMatchingNotification(fPort, kIOFirstPublishNotification, dictionary, &_PublishCallback,
                                         &published, &published.iterator);
        IOServiceAddMatchingNotification(fPort, kIOTerminatedNotification, dictionary, &_TerminatedCallback,
                                         &terminated, &terminated.iterator);
    }
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(fPort),
                       kCFRunLoopDefaultMode);
    for (MatchIterator& record : fPublished)
        PublishCallback(&record);
    for (MatchIterator& record : fTerminated)
        TerminatedCallback(&record);
}

USBDiscoveryMac::~USBDiscoveryMac()
{
    fDispatcher.reset();
    IONotificationPortDestroy(fPort);
    for (auto* list : {&fPublished, &fTerminated}) {
        for (MatchIterator& record : *list)
            IOObjectRelease(record.iterator);
    }
    fOpened.clear();
    fOpening.clear();
}

void USBDiscoveryMac::_PublishCallback(void* refCon, io_iterator_t)
{
    auto* record = static_cast<MatchIterator*>(refCon);
    record->owner->PublishCallback(record);
}

void USBDiscoveryMac::_TerminatedCallback(void* refCon, io_iterator_t)
{
    auto* record = static_cast<MatchIterator*>(refCon);
    record->owner->TerminatedCallback(record);
}

void USBDiscoveryMac::PublishCallback(MatchIterator* record)
{
    ++record->pending;
    fDispatcher->postTimed(kPublishDebounce, [this, record] { DelayedPublishCallback(record); });
}

void USBDiscoveryMac::DelayedPublishCallback(MatchIterator* record)
{
    if (--record->pending != 0)
        return;
    while (const io_service_t service = IOIteratorNext(record->iterator)) {
        MaybeRegisterDevice(service);
        IOObjectRelease(service);
    }
}

void USBDiscoveryMac::MaybeRegisterDevice(io_service_t service)
{
    std::shared_ptr<USBDevice> device = fClient.DeviceConnected(service);
    if (!device)
        return;
    fOpening.push_back(device);
    device->impl()->registerDeviceOpenCallback([this](USBDevice::Impl* impl,
                                                      USBDevice::Impl::OpenStatus status) {
        const auto found = std::find_if(fOpening.begin(), fOpening.end(),
                                        [impl](const auto& candidate) { return candidate->impl() == impl; });
        if (found == fOpening.end())
            return;
        const std::shared_ptr<USBDevice> opened = *found;
        fOpening.erase(found);
        if (std::holds_alternative<USBDevice::Impl::OpenSuccess>(status)) {
            fOpened.push_back(opened);
            fClient.DeviceOpened(opened);
        }
    });
}

void USBDiscoveryMac::TerminatedCallback(MatchIterator* record)
{
    while (const io_service_t service = IOIteratorNext(record->iterator)) {
        const auto sameService = [service](const auto& device) {
            return device->impl()->service() == service;
        };
        if (const auto opening = std::find_if(fOpening.begin(), fOpening.end(), sameService);
            opening != fOpening.end())
            fOpening.erase(opening);
        if (const auto opened = std::find_if(fOpened.begin(), fOpened.end(), sameService);
            opened != fOpened.end()) {
            const std::shared_ptr<USBDevice> device = *opened;
            fOpened.erase(opened);
            fClient.DeviceRemoved(device);
        }
        IOObjectRelease(service);
    }
}
