#include "Server.h"

#include "Log.h"
#include "ResetUAC.h"

#include <dispatch/dispatch.h>

namespace Server {

namespace {

constexpr const char* kProxyMessageTypeKey = "kProxyMessageTypeKey";
constexpr uint64_t kResetUACMessage = 0;

void LogError(const char* function, xpc_object_t error)
{
    if (const char* description = xpc_dictionary_get_string(error, XPC_ERROR_KEY_DESCRIPTION)) {
        TIDE_LOG(Log::Info, "%s - xpc_error (%s)", function, description);
    } else {
        TIDE_LOG(Log::Info, "%s - xpc_error (no description)", function);
    }
}

} // namespace

void HandleListenerEvent(xpc_object_t event)
{
    const xpc_type_t type = xpc_get_type(event);
    if (type == XPC_TYPE_ERROR) {
        LogError(__PRETTY_FUNCTION__, event);
    } else if (type == XPC_TYPE_CONNECTION) {
        auto* peer = static_cast<xpc_connection_t>(event);
        xpc_connection_set_event_handler(
            peer, [peer](xpc_object_t peerEvent) { HandlePeerEvent(peer, peerEvent); });
        xpc_connection_resume(peer);
    } else {
        TIDE_LOG(Log::Info, "error, object is not a connection, it's a %s", xpc_type_get_name(type));
    }
}

void HandlePeerEvent(xpc_connection_t peer, xpc_object_t event)
{
    const xpc_type_t type = xpc_get_type(event);
    if (type == XPC_TYPE_ERROR) {
        LogError(__PRETTY_FUNCTION__, event);
        return;
    }
    // A missing key, or a value of another type, reads as 0.
    if (type == XPC_TYPE_DICTIONARY &&
        xpc_dictionary_get_uint64(event, kProxyMessageTypeKey) == kResetUACMessage) {
        ResetUAC();
    }
    xpc_connection_cancel(peer);
}

xpc_connection_t Listen()
{
    TIDE_LOG(Log::Info, "%s - calling xpc_connection_create_mach_service with mach service name %s",
             __PRETTY_FUNCTION__, kMachServiceName);
    xpc_connection_t listener =
        xpc_connection_create_mach_service(kMachServiceName, nullptr, XPC_CONNECTION_MACH_SERVICE_LISTENER);
    xpc_connection_set_event_handler(listener, HandleListenerEvent);
    xpc_connection_resume(listener);
    return listener;
}

void Main()
{
    Listen();
    TIDE_LOG(Log::Info, "%s - calling dispatch_main()", __PRETTY_FUNCTION__);
    dispatch_main();
}

} // namespace Server
