#include "WithXpcConnection.h"

#include "Log.h"

#include <utility>

WithXpcConnection::~WithXpcConnection()
{
    cancel();
}

void WithXpcConnection::set(xpc_connection_t connection)
{
    std::lock_guard<std::mutex> lock(fMutex);
    fConnection = connection;
}

bool WithXpcConnection::isSet() const
{
    std::lock_guard<std::mutex> lock(fMutex);
    return fConnection != nullptr;
}

void WithXpcConnection::cancel(const char* caller)
{
    xpc_connection_t connection = nullptr;
    {
        std::lock_guard<std::mutex> lock(fMutex);
        connection = std::exchange(fConnection, nullptr);
    }
    if (connection != nullptr) {
        TIDE_LOG(Log::Info, "%s - calling xpc_connection_cancel", caller);
        xpc_connection_cancel(connection);
        xpc_release(connection);
    }
}
