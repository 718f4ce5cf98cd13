#pragma once

#include "Connection.h"

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace XPC {

// Every connection of the process and the listeners' names, under one lock. A connection stays in
// the table, with a reference, until its last event has been delivered.
class Connections
{
public:
    static Connections& shared();

    xpc_connection_s* create(const char* name, dispatch_queue_t queue, bool listener);
    void setHandler(xpc_connection_s* connection, xpc_handler_t handler);
    void resume(xpc_connection_s* connection);
    // Takes over the message's reference.
    void send(xpc_connection_s* connection, Object* message);
    void cancel(xpc_connection_s* connection);

private:
    // Holds the lock; the references dropped meanwhile are released after unlocking, since a last
    // release may run an event handler's destructor.
    class Section
    {
    public:
        explicit Section(Connections& connections);
        ~Section();
        void unlock() { fLock.unlock(); }
        void lock() { fLock.lock(); }

    private:
        Connections& fConnections;
        std::unique_lock<std::mutex> fLock;
    };

    Connections() = default;
    void transmitLocked(xpc_connection_s* client, Object* message);
    void enqueueLocked(xpc_connection_s* connection, Event event);
    // Queues XPC_ERROR_CONNECTION_INVALID as the last event, dropping what waits when `dropPending`.
    void endLocked(xpc_connection_s* connection, bool dropPending);
    void dropLocked(const Event& event);
    // A peer the listener never received: its client is told as if the server had cancelled it.
    void abandonPeerLocked(xpc_connection_s* peer);
    void unlinkLocked(xpc_connection_s* connection);
    void scheduleLocked(xpc_connection_s* connection);
    void releaseLater(Object* object) { fReleases.push_back(object); }
    static void drain(void* context);
    void serve(xpc_connection_s* connection);

    std::mutex fLock;
    std::set<xpc_connection_s*> fLive;
    std::map<std::string, xpc_connection_s*> fListeners;
    std::vector<Object*> fReleases;
};

} // namespace XPC
