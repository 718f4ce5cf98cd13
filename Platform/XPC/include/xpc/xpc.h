#pragma once

// XPC in process: objects, dictionaries, and connections to mach services named in a process-wide
// table, with events delivered on dispatch queues.
//
// Objects are reference counted (xpc_retain/xpc_release; a getter's result is borrowed). A
// message travels as a copy, so the sender may change or release its dictionary afterwards.

#include <dispatch/dispatch.h>

#include <cstddef>
#include <cstdint>
#include <functional>

typedef void* xpc_object_t;
typedef struct xpc_connection_s* xpc_connection_t;
typedef const struct xpc_type_s* xpc_type_t;
typedef std::function<void(xpc_object_t object)> xpc_handler_t;

namespace XPCPlatform {

extern const struct xpc_type_s gTypeDictionary;
extern const struct xpc_type_s gTypeUInt64;
extern const struct xpc_type_s gTypeInt64;
extern const struct xpc_type_s gTypeString;
extern const struct xpc_type_s gTypeBool;
extern const struct xpc_type_s gTypeArray;
extern const struct xpc_type_s gTypeData;
extern const struct xpc_type_s gTypeConnection;
extern const struct xpc_type_s gTypeError;

xpc_object_t connectionInterrupted();
xpc_object_t connectionInvalid();

} // namespace XPCPlatform

#define XPC_TYPE_DICTIONARY (&XPCPlatform::gTypeDictionary)
#define XPC_TYPE_UINT64 (&XPCPlatform::gTypeUInt64)
#define XPC_TYPE_INT64 (&XPCPlatform::gTypeInt64)
#define XPC_TYPE_STRING (&XPCPlatform::gTypeString)
#define XPC_TYPE_BOOL (&XPCPlatform::gTypeBool)
#define XPC_TYPE_ARRAY (&XPCPlatform::gTypeArray)
#define XPC_TYPE_DATA (&XPCPlatform::gTypeData)
#define XPC_TYPE_CONNECTION (&XPCPlatform::gTypeConnection)
#define XPC_TYPE_ERROR (&XPCPlatform::gTypeError)

// Errors are dictionaries of type XPC_TYPE_ERROR with a description under XPC_ERROR_KEY_DESCRIPTION.
#define XPC_ERROR_KEY_DESCRIPTION "XPCErrorDescription"
// The server ended this client's peer; the connection stays usable and its next message reaches a
// new peer.
#define XPC_ERROR_CONNECTION_INTERRUPTED (XPCPlatform::connectionInterrupted())
// The connection is over: it was cancelled, its name has no listener, or its client cancelled. It
// is the connection's last event.
#define XPC_ERROR_CONNECTION_INVALID (XPCPlatform::connectionInvalid())

// Objects.
xpc_object_t xpc_retain(xpc_object_t object);
void xpc_release(xpc_object_t object);
xpc_type_t xpc_get_type(xpc_object_t object);
const char* xpc_type_get_name(xpc_type_t type);

xpc_object_t xpc_uint64_create(uint64_t value);
uint64_t xpc_uint64_get_value(xpc_object_t object);
xpc_object_t xpc_int64_create(int64_t value);
int64_t xpc_int64_get_value(xpc_object_t object);
xpc_object_t xpc_bool_create(bool value);
bool xpc_bool_get_value(xpc_object_t object);
xpc_object_t xpc_string_create(const char* string);
const char* xpc_string_get_string_ptr(xpc_object_t object);
xpc_object_t xpc_data_create(const void* bytes, size_t length);
size_t xpc_data_get_length(xpc_object_t object);
const void* xpc_data_get_bytes_ptr(xpc_object_t object);

xpc_object_t xpc_array_create(const xpc_object_t* objects, size_t count);
void xpc_array_append_value(xpc_object_t array, xpc_object_t value);
size_t xpc_array_get_count(xpc_object_t array);
xpc_object_t xpc_array_get_value(xpc_object_t array, size_t index);

// Dictionaries. The getters answer 0 or NULL for a missing key and for a value of another type;
// they read errors too. Setting on an object that is not a dictionary ends the process.
xpc_object_t xpc_dictionary_create(const char* const* keys, const xpc_object_t* values, size_t count);
void xpc_dictionary_set_value(xpc_object_t dictionary, const char* key, xpc_object_t value);
xpc_object_t xpc_dictionary_get_value(xpc_object_t dictionary, const char* key);
void xpc_dictionary_set_uint64(xpc_object_t dictionary, const char* key, uint64_t value);
uint64_t xpc_dictionary_get_uint64(xpc_object_t dictionary, const char* key);
void xpc_dictionary_set_string(xpc_object_t dictionary, const char* key, const char* string);
const char* xpc_dictionary_get_string(xpc_object_t dictionary, const char* key);
size_t xpc_dictionary_get_count(xpc_object_t dictionary);

// Connections. A listener takes its name in the process-wide table until it is cancelled; each
// client that sends to the name gets its own peer, announced to the listener as a new connection
// at the client's first message. A connection starts suspended: its events wait until
// xpc_connection_resume. Events of one connection come one at a time and in order on its target
// queue (the queue given here, else a private serial queue). A connection lives until its last
// event (XPC_ERROR_CONNECTION_INVALID) has been delivered, even after the caller's release.
#define XPC_CONNECTION_MACH_SERVICE_LISTENER (1ull << 0)

xpc_connection_t xpc_connection_create_mach_service(const char* name, dispatch_queue_t targetq,
                                                    uint64_t flags);
void xpc_connection_set_event_handler(xpc_connection_t connection, xpc_handler_t handler);
void xpc_connection_resume(xpc_connection_t connection);
// Only dictionaries travel: sending anything else ends the process. Does nothing once cancelled.
void xpc_connection_send_message(xpc_connection_t connection, xpc_object_t message);
// Drops the events not yet delivered and delivers XPC_ERROR_CONNECTION_INVALID as the last one.
// A cancelled peer's client receives XPC_ERROR_CONNECTION_INTERRUPTED; a cancelled client's peer
// receives XPC_ERROR_CONNECTION_INVALID after the messages already sent. Cancelling twice is
// harmless.
void xpc_connection_cancel(xpc_connection_t connection);
