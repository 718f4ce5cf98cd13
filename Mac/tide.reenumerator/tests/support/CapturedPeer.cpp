#include "CapturedPeer.h"

#include <atomic>
#include <chrono>
#include <string>

namespace ReenumeratorTesting {

namespace {

constexpr auto kWaitLimit = std::chrono::seconds(30);

std::string UniqueServiceName()
{
    static std::atomic<int> next{0};
    return "com.vork.tide.reenumerator.tests.peer." + std::to_string(next++);
}

} // namespace

CapturedPeer::CapturedPeer() : fQueue(dispatch_queue_create("CapturedPeer", DISPATCH_QUEUE_SERIAL))
{
    const std::string name = UniqueServiceName();
    fListener =
        xpc_connection_create_mach_service(name.c_str(), fQueue, XPC_CONNECTION_MACH_SERVICE_LISTENER);
    xpc_connection_set_event_handler(fListener, [this](xpc_object_t event) {
        if (xpc_get_type(event) == XPC_TYPE_CONNECTION) {
            auto* peer = static_cast<xpc_connection_t>(event);
            xpc_connection_set_event_handler(peer, [this](xpc_object_t peerEvent) {
                std::lock_guard lock(fMutex);
                if (peerEvent == XPC_ERROR_CONNECTION_INVALID) {
                    ++fEnded;
                } else if (xpc_get_type(peerEvent) == XPC_TYPE_DICTIONARY) {
                    ++fPeerMessages;
                }
                fChanged.notify_all();
            });
            std::lock_guard lock(fMutex);
            fPeer = static_cast<xpc_connection_t>(xpc_retain(peer));
            xpc_connection_resume(peer);
        } else if (event == XPC_ERROR_CONNECTION_INVALID) {
            std::lock_guard lock(fMutex);
            ++fEnded;
            fChanged.notify_all();
        }
    });
    xpc_connection_resume(fListener);
    fClient = xpc_connection_create_mach_service(name.c_str(), fQueue, 0);
    xpc_connection_set_event_handler(fClient, [this](xpc_object_t event) {
        std::lock_guard lock(fMutex);
        if (event == XPC_ERROR_CONNECTION_INVALID) {
            ++fEnded;
        } else {
            fClientEvents.push_back(event);
        }
        fChanged.notify_all();
    });
    xpc_connection_resume(fClient);
    sendToPeer();
}

CapturedPeer::~CapturedPeer()
{
    xpc_connection_cancel(fClient);
    if (fPeer != nullptr) {
        xpc_connection_cancel(fPeer);
    }
    xpc_connection_cancel(fListener);
    WaitFor(fEnded, fPeer != nullptr ? 3 : 2);
    if (fPeer != nullptr) {
        xpc_release(fPeer);
    }
    xpc_release(fClient);
    xpc_release(fListener);
    dispatch_release(fQueue);
}

bool CapturedPeer::sendToPeer()
{
    size_t before = 0;
    {
        std::lock_guard lock(fMutex);
        before = fPeerMessages;
    }
    xpc_object_t message = xpc_dictionary_create(nullptr, nullptr, 0);
    xpc_connection_send_message(fClient, message);
    xpc_release(message);
    return WaitFor(fPeerMessages, before + 1);
}

xpc_object_t CapturedPeer::firstClientEvent()
{
    std::unique_lock lock(fMutex);
    fChanged.wait_for(lock, kWaitLimit, [this] { return !fClientEvents.empty(); });
    return fClientEvents.empty() ? nullptr : fClientEvents.front();
}

size_t CapturedPeer::clientEventCount() const
{
    std::lock_guard lock(fMutex);
    return fClientEvents.size();
}

bool CapturedPeer::WaitFor(size_t& counter, size_t count)
{
    std::unique_lock lock(fMutex);
    return fChanged.wait_for(lock, kWaitLimit, [&] { return counter >= count; });
}

} // namespace ReenumeratorTesting
