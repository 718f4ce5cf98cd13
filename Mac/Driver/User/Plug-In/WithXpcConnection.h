#pragma once

// Holds one XPC connection until it is cancelled; cancelling is done once, by whoever comes first.

#include <xpc/xpc.h>

#include <mutex>

class WithXpcConnection
{
public:
    WithXpcConnection() = default;
    ~WithXpcConnection();
    WithXpcConnection(const WithXpcConnection&) = delete;
    WithXpcConnection& operator=(const WithXpcConnection&) = delete;

    // Takes over the caller's reference.
    void set(xpc_connection_t connection);
    bool isSet() const;
    // Cancels and releases the connection when it is still held, logging `caller` with it.
    void cancel(const char* caller = "void WithXpcConnection::cancel()");

private:
    mutable std::mutex fMutex;
    xpc_connection_t fConnection = nullptr;
};
