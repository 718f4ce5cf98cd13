#include "Connections.h"

#include "Containers.h"
#include "Fatal.h"

xpc_connection_s::xpc_connection_s(Role role, std::string name, dispatch_queue_t queue)
    : Object(XPC_TYPE_CONNECTION), fRole(role), fName(std::move(name)), fQueue(queue)
{}

xpc_connection_s::~xpc_connection_s()
{
    for (const XPC::Event& event : fEvents) {
        event.fObject->release();
    }
    for (XPC::Object* message : fUnsent) {
        message->release();
    }
    dispatch_release(fQueue);
}

namespace XPC {

namespace {

Object* errorObject(xpc_object_t error)
{
    return Object::from(error);
}

} // namespace

Connections& Connections::shared()
{
    // Never destroyed: queue workers may deliver events during static destruction.
    static Connections* connections = new Connections;
    return *connections;
}

Connections::Section::Section(Connections& connections) : fConnections(connections), fLock(connections.fLock)
{}

Connections::Section::~Section()
{
    std::vector<Object*> releases;
    releases.swap(fConnections.fReleases);
    fLock.unlock();
    for (Object* object : releases) {
        object->release();
    }
}

xpc_connection_s* Connections::create(const char* name, dispatch_queue_t queue, bool listener)
{
    std::string serviceName = name != nullptr ? name : "";
    if (queue != nullptr) {
        dispatch_retain(queue);
    } else {
        queue = dispatch_queue_create(serviceName.c_str(), DISPATCH_QUEUE_SERIAL);
    }
    auto* connection = new xpc_connection_s(
        listener ? xpc_connection_s::Role::Listener : xpc_connection_s::Role::Client, serviceName, queue);
    Section section(*this);
    connection->retain();
    fLive.insert(connection);
    if (listener && fListeners.emplace(serviceName, connection).second) {
        connection->fHoldsName = true;
    }
    return connection;
}

void Connections::setHandler(xpc_connection_s* connection, xpc_handler_t handler)
{
    auto replaced = std::make_shared<const xpc_handler_t>(std::move(handler));
    Section section(*this);
    std::swap(connection->fHandler, replaced);
}

void Connections::resume(xpc_connection_s* connection)
{
    Section section(*this);
    if (connection->fResumed) {
        return;
    }
    connection->fResumed = true;
    // A listener whose name another listener holds never serves.
    if (connection->fRole == xpc_connection_s::Role::Listener && !connection->fHoldsName) {
        endLocked(connection, true);
    }
    while (!connection->fUnsent.empty()) {
        Object* message = connection->fUnsent.front();
        connection->fUnsent.pop_front();
        transmitLocked(connection, message);
    }
    scheduleLocked(connection);
}

void Connections::send(xpc_connection_s* connection, Object* message)
{
    Section section(*this);
    if (connection->fCancelled || connection->fEnded) {
        releaseLater(message);
        return;
    }
    switch (connection->fRole) {
    case xpc_connection_s::Role::Client:
        if (connection->fResumed) {
            transmitLocked(connection, message);
        } else {
            connection->fUnsent.push_back(message);
        }
        break;
    case xpc_connection_s::Role::Peer:
        if (connection->fRemote != nullptr) {
            enqueueLocked(connection->fRemote, {Event::Kind::Message, message});
        } else {
            releaseLater(message);
        }
        break;
    case xpc_connection_s::Role::Listener:
        releaseLater(message);
        break;
    }
}

void Connections::transmitLocked(xpc_connection_s* client, Object* message)
{
    if (client->fRemote != nullptr) {
        enqueueLocked(client->fRemote, {Event::Kind::Message, message});
        return;
    }
    auto listener = fListeners.find(client->fName);
    if (listener == fListeners.end()) {
        releaseLater(message);
        endLocked(client, false);
        return;
    }
    std::string label = client->fName + ".peer";
    auto* peer = new xpc_connection_s(xpc_connection_s::Role::Peer, client->fName,
                                      dispatch_queue_create(label.c_str(), DISPATCH_QUEUE_SERIAL));
    fLive.insert(peer);
    client->retain();
    peer->fRemote = client;
    peer->retain();
    client->fRemote = peer;
    // The message waits in the peer until the listener resumes it.
    enqueueLocked(peer, {Event::Kind::Message, message});
    peer->retain();
    enqueueLocked(listener->second, {Event::Kind::NewPeer, peer});
}

void Connections::cancel(xpc_connection_s* connection)
{
    Section section(*this);
    if (connection->fCancelled) {
        return;
    }
    connection->fCancelled = true;
    if (connection->fHoldsName) {
        fListeners.erase(connection->fName);
        connection->fHoldsName = false;
    }
    if (xpc_connection_s* remote = connection->fRemote) {
        unlinkLocked(connection);
        if (connection->fRole == xpc_connection_s::Role::Client) {
            endLocked(remote, false);
        } else {
            enqueueLocked(remote, {Event::Kind::Error, errorObject(XPC_ERROR_CONNECTION_INTERRUPTED)});
        }
    }
    endLocked(connection, true);
}

void Connections::enqueueLocked(xpc_connection_s* connection, Event event)
{
    if (connection->fEnded) {
        dropLocked(event);
        return;
    }
    connection->fEvents.push_back(event);
    scheduleLocked(connection);
}

void Connections::endLocked(xpc_connection_s* connection, bool dropPending)
{
    // Also when the connection has ended already (its client cancelled): its own cancel still drops
    // what has not been delivered.
    if (dropPending) {
        std::deque<Event> pending;
        pending.swap(connection->fEvents);
        for (const Event& event : pending) {
            if (event.fKind == Event::Kind::Final) {
                connection->fEvents.push_back(event);
            } else {
                dropLocked(event);
            }
        }
    }
    if (connection->fEnded) {
        return;
    }
    connection->fEnded = true;
    for (Object* message : connection->fUnsent) {
        releaseLater(message);
    }
    connection->fUnsent.clear();
    connection->fEvents.push_back({Event::Kind::Final, errorObject(XPC_ERROR_CONNECTION_INVALID)});
    scheduleLocked(connection);
}

void Connections::dropLocked(const Event& event)
{
    if (event.fKind == Event::Kind::NewPeer) {
        abandonPeerLocked(static_cast<xpc_connection_s*>(event.fObject));
    }
    releaseLater(event.fObject);
}

void Connections::abandonPeerLocked(xpc_connection_s* peer)
{
    peer->fCancelled = true;
    peer->fEnded = true;
    std::deque<Event> dropped;
    dropped.swap(peer->fEvents);
    for (const Event& event : dropped) {
        dropLocked(event);
    }
    if (xpc_connection_s* client = peer->fRemote) {
        unlinkLocked(peer);
        enqueueLocked(client, {Event::Kind::Error, errorObject(XPC_ERROR_CONNECTION_INTERRUPTED)});
    }
    if (fLive.erase(peer) > 0) {
        releaseLater(peer);
    }
}

void Connections::unlinkLocked(xpc_connection_s* connection)
{
    xpc_connection_s* remote = connection->fRemote;
    remote->fRemote = nullptr;
    connection->fRemote = nullptr;
    releaseLater(remote);
    releaseLater(connection);
}

void Connections::scheduleLocked(xpc_connection_s* connection)
{
    if (!connection->fResumed || connection->fDrainScheduled || connection->fEvents.empty()) {
        return;
    }
    connection->fDrainScheduled = true;
    connection->retain();
    dispatch_async_f(connection->fQueue, connection, drain);
}

void Connections::drain(void* context)
{
    shared().serve(static_cast<xpc_connection_s*>(context));
}

void Connections::serve(xpc_connection_s* connection)
{
    // Destroyed after the lock is released.
    std::shared_ptr<const xpc_handler_t> finished;
    Section section(*this);
    while (!connection->fEvents.empty()) {
        Event event = connection->fEvents.front();
        connection->fEvents.pop_front();
        std::shared_ptr<const xpc_handler_t> handler = connection->fHandler;
        section.unlock();
        if (handler && *handler) {
            (*handler)(event.fObject->handle());
        }
        event.fObject->release();
        handler.reset();
        section.lock();
        if (event.fKind == Event::Kind::Final) {
            finished = std::move(connection->fHandler);
            if (fLive.erase(connection) > 0) {
                releaseLater(connection);
            }
        }
    }
    connection->fDrainScheduled = false;
    releaseLater(connection);
}

} // namespace XPC

using XPC::Connections;

xpc_connection_t xpc_connection_create_mach_service(const char* name, dispatch_queue_t targetq,
                                                    uint64_t flags)
{
    return Connections::shared().create(name, targetq, (flags & XPC_CONNECTION_MACH_SERVICE_LISTENER) != 0);
}

void xpc_connection_set_event_handler(xpc_connection_t connection, xpc_handler_t handler)
{
    if (connection != nullptr) {
        Connections::shared().setHandler(connection, std::move(handler));
    }
}

void xpc_connection_resume(xpc_connection_t connection)
{
    if (connection != nullptr) {
        Connections::shared().resume(connection);
    }
}

void xpc_connection_send_message(xpc_connection_t connection, xpc_object_t message)
{
    auto* dictionary = XPC::objectOf<XPC::Dictionary>(message, XPC_TYPE_DICTIONARY);
    if (dictionary == nullptr) {
        XPC::fatal("xpc_connection_send_message", "only a dictionary can be sent as a message");
    }
    if (connection != nullptr) {
        Connections::shared().send(connection, dictionary->copyForMessage());
    }
}

void xpc_connection_cancel(xpc_connection_t connection)
{
    if (connection != nullptr) {
        Connections::shared().cancel(connection);
    }
}
