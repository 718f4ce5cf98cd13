#include "FakeReenumerator.h"

#include "Log.h"

#include <algorithm>
#include <chrono>

namespace PlugInTesting {

namespace {

constexpr const char* kProxyMessageTypeKey = "kProxyMessageTypeKey";
constexpr uint64_t kResetUACMessage = 0;
constexpr const char* kHandlerName = "FakeReenumerator::HandlePeerEvent";
constexpr auto kWaitLimit = std::chrono::seconds(30);

void LogError(xpc_object_t event)
{
    if (const char* description = xpc_dictionary_get_string(event, XPC_ERROR_KEY_DESCRIPTION)) {
        TIDE_LOG(Log::Info, "%s - xpc_error (%s)", kHandlerName, description);
    } else {
        TIDE_LOG(Log::Info, "%s - xpc_error (no description)", kHandlerName);
    }
}

} // namespace

FakeReenumerator::FakeReenumerator(Mode mode)
    : fMode(mode), fQueue(dispatch_queue_create("FakeReenumerator", DISPATCH_QUEUE_SERIAL)),
      fListener(xpc_connection_create_mach_service(kReenumeratorService, fQueue,
                                                   XPC_CONNECTION_MACH_SERVICE_LISTENER))
{
    fOpenConnections = 1;
    xpc_connection_set_event_handler(fListener, [this](xpc_object_t event) { HandleListenerEvent(event); });
    xpc_connection_resume(fListener);
}

FakeReenumerator::~FakeReenumerator()
{
    std::vector<xpc_connection_t> peers;
    {
        std::lock_guard<std::mutex> lock(fMutex);
        for (xpc_connection_t peer : fPeers) {
            peers.push_back(static_cast<xpc_connection_t>(xpc_retain(peer)));
        }
    }
    xpc_connection_cancel(fListener);
    for (xpc_connection_t peer : peers) {
        xpc_connection_cancel(peer);
        xpc_release(peer);
    }
    std::unique_lock<std::mutex> lock(fMutex);
    fChanged.wait_for(lock, kWaitLimit, [this] { return fOpenConnections == 0; });
    lock.unlock();
    xpc_release(fListener);
    dispatch_release(fQueue);
}

int FakeReenumerator::resetCount() const
{
    std::lock_guard<std::mutex> lock(fMutex);
    return fResets;
}

int FakeReenumerator::messageCount() const
{
    std::lock_guard<std::mutex> lock(fMutex);
    return fMessages;
}

int FakeReenumerator::peerCount() const
{
    std::lock_guard<std::mutex> lock(fMutex);
    return fAcceptedPeers;
}

int FakeReenumerator::endedPeerCount() const
{
    std::lock_guard<std::mutex> lock(fMutex);
    return fEndedPeers;
}

bool FakeReenumerator::waitForMessages(int count, std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> lock(fMutex);
    return fChanged.wait_for(lock, limit, [this, count] { return fMessages >= count; });
}

void FakeReenumerator::HandleListenerEvent(xpc_object_t event)
{
    if (xpc_get_type(event) == XPC_TYPE_CONNECTION) {
        auto* peer = static_cast<xpc_connection_t>(xpc_retain(event));
        {
            std::lock_guard<std::mutex> lock(fMutex);
            fPeers.push_back(peer);
            ++fAcceptedPeers;
            ++fOpenConnections;
        }
        xpc_connection_set_event_handler(
            peer, [this, peer](xpc_object_t peerEvent) { HandlePeerEvent(peer, peerEvent); });
        xpc_connection_resume(peer);
        return;
    }
    if (xpc_get_type(event) == XPC_TYPE_ERROR) {
        LogError(event);
        if (event == XPC_ERROR_CONNECTION_INVALID) {
            std::lock_guard<std::mutex> lock(fMutex);
            --fOpenConnections;
            fChanged.notify_all();
        }
    }
}

void FakeReenumerator::HandlePeerEvent(xpc_connection_t peer, xpc_object_t event)
{
    if (xpc_get_type(event) == XPC_TYPE_ERROR) {
        LogError(event);
        if (event == XPC_ERROR_CONNECTION_INVALID) {
            std::lock_guard<std::mutex> lock(fMutex);
            fPeers.erase(std::find(fPeers.begin(), fPeers.end(), peer));
            ++fEndedPeers;
            --fOpenConnections;
            fChanged.notify_all();
            xpc_release(peer);
        }
        return;
    }
    {
        std::lock_guard<std::mutex> lock(fMutex);
        ++fMessages;
        if (xpc_get_type(event) == XPC_TYPE_DICTIONARY &&
            xpc_dictionary_get_uint64(event, kProxyMessageTypeKey) == kResetUACMessage) {
            ++fResets;
        }
        fChanged.notify_all();
    }
    if (fMode == Mode::Normal) {
        xpc_connection_cancel(peer);
    }
}

} // namespace PlugInTesting
