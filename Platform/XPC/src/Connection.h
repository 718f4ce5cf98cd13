#pragma once

#include "Object.h"

#include <deque>
#include <memory>
#include <string>

namespace XPC {

struct Event
{
    enum class Kind
    {
        Message,
        NewPeer,
        Error,
        // XPC_ERROR_CONNECTION_INVALID, the last event.
        Final
    };

    Kind fKind;
    // With a reference held for the event (errors are immortal).
    Object* fObject;
};

} // namespace XPC

// A connection: a listener holding a name, a client of a name, or the peer a listener gets for one
// client. Its state is guarded by the connection table's lock.
struct xpc_connection_s final : public XPC::Object
{
    enum class Role
    {
        Listener,
        Client,
        Peer
    };

    // Takes over a reference to `queue`.
    xpc_connection_s(Role role, std::string name, dispatch_queue_t queue);
    ~xpc_connection_s() override;

    const Role fRole;
    const std::string fName;
    const dispatch_queue_t fQueue;

    std::shared_ptr<const xpc_handler_t> fHandler;
    bool fHoldsName = false;
    bool fResumed = false;
    bool fCancelled = false;
    // XPC_ERROR_CONNECTION_INVALID is queued: nothing follows it.
    bool fEnded = false;
    bool fDrainScheduled = false;
    std::deque<XPC::Event> fEvents;
    // A client's messages sent before it was resumed.
    std::deque<XPC::Object*> fUnsent;
    // A client's current peer, a peer's client; each holds a reference to the other.
    xpc_connection_s* fRemote = nullptr;
};
