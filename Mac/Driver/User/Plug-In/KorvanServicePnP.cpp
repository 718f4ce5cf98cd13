#include "KorvanServicePnP.h"

#include "WorkLoop.h"

#include <algorithm>
#include <vector>

namespace {

enum class MatchingAction
{
    Publish,
    Terminate,
};

} // namespace

// Lives on the loop's thread: its run loop receives the notifications, so the list of known
// services needs no lock.
class KorvanServicePnP::Impl : public WorkItem
{
public:
    Impl(KorvanServicePnP& owner, WorkLoop* workLoop) : fOwner(owner)
    {
        Init(workLoop, WorkLoopCB, this);
        Queue();
    }

    ~Impl() override
    {
        if (fPublishIterator != 0) {
            IOObjectRelease(fPublishIterator);
        }
        if (fTerminateIterator != 0) {
            IOObjectRelease(fTerminateIterator);
        }
        if (fNotificationPort != nullptr) {
            IONotificationPortDestroy(fNotificationPort);
        }
    }

private:
    static bool WorkLoopCB(WorkLoopItem*, void* userData)
    {
        static_cast<Impl*>(userData)->StartWatching();
        return true;
    }

    void StartWatching()
    {
        if (fNotificationPort != nullptr) {
            return;
        }
        fNotificationPort = IONotificationPortCreate(kIOMainPortDefault);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(fNotificationPort),
                           kCFRunLoopDefaultMode);
        IOServiceAddMatchingNotification(fNotificationPort, kIOFirstPublishNotification,
                                         IOServiceMatching(kKorvanControlInterfaceClass), PublishCallback,
                                         this, &fPublishIterator);
        IOServiceAddMatchingNotification(fNotificationPort, kIOTerminatedNotification,
                                         IOServiceMatching(kKorvanControlInterfaceClass), TerminateCallback,
                                         this, &fTerminateIterator);
        // Reports what is there already and arms both notifications.
        MatchingCallback(fPublishIterator, MatchingAction::Publish);
        MatchingCallback(fTerminateIterator, MatchingAction::Terminate);
    }

    static void PublishCallback(void* refcon, io_iterator_t iterator)
    {
        static_cast<Impl*>(refcon)->MatchingCallback(iterator, MatchingAction::Publish);
    }

    static void TerminateCallback(void* refcon, io_iterator_t iterator)
    {
        static_cast<Impl*>(refcon)->MatchingCallback(iterator, MatchingAction::Terminate);
    }

    void MatchingCallback(io_iterator_t iterator, MatchingAction action)
    {
        if (!IOIteratorIsValid(iterator)) {
            return;
        }
        while (io_object_t object = IOIteratorNext(iterator)) {
            const KorvanService service(object, KorvanService::kBusTypeUSB);
            IOObjectRelease(object);
            const auto known =
                std::find_if(fKnownServices.begin(), fKnownServices.end(),
                             [&service](const KorvanService& entry) { return entry == service; });
            if (action == MatchingAction::Publish && known == fKnownServices.end()) {
                fKnownServices.push_back(service);
                fOwner.ServiceRegistered(service);
            } else if (action == MatchingAction::Terminate && known != fKnownServices.end()) {
                const KorvanService entry = *known;
                fKnownServices.erase(known);
                fOwner.ServiceTerminated(entry);
            }
        }
        IOIteratorReset(iterator);
    }

    KorvanServicePnP& fOwner;
    IONotificationPortRef fNotificationPort = nullptr;
    io_iterator_t fPublishIterator = 0;
    io_iterator_t fTerminateIterator = 0;
    std::vector<KorvanService> fKnownServices;
};

KorvanServicePnP::KorvanServicePnP() = default;

KorvanServicePnP::~KorvanServicePnP() = default;

void KorvanServicePnP::EnableServicePnPNotifications(bool enable, WorkLoop* workLoop)
{
    fImpl.reset();
    if (enable && workLoop != nullptr) {
        fImpl = std::make_unique<Impl>(*this, workLoop);
    }
}
