#include "Containers.h"
#include "Values.h"

namespace {

XPC::Object* makeError(const char* description)
{
    auto* error = new XPC::Dictionary(XPC_TYPE_ERROR, true);
    error->adopt(XPC_ERROR_KEY_DESCRIPTION, new XPC::StringValue(XPC_TYPE_STRING, description, true));
    return error;
}

} // namespace

namespace XPCPlatform {

xpc_object_t connectionInterrupted()
{
    static XPC::Object* error = makeError("Connection interrupted");
    return error->handle();
}

xpc_object_t connectionInvalid()
{
    static XPC::Object* error = makeError("Connection invalid");
    return error->handle();
}

} // namespace XPCPlatform
