#include "Values.h"

using XPC::BoolValue;
using XPC::DataValue;
using XPC::Int64Value;
using XPC::objectOf;
using XPC::StringValue;
using XPC::UInt64Value;

xpc_object_t xpc_uint64_create(uint64_t value)
{
    return (new UInt64Value(XPC_TYPE_UINT64, value))->handle();
}

uint64_t xpc_uint64_get_value(xpc_object_t object)
{
    auto* value = objectOf<UInt64Value>(object, XPC_TYPE_UINT64);
    return value != nullptr ? value->fValue : 0;
}

xpc_object_t xpc_int64_create(int64_t value)
{
    return (new Int64Value(XPC_TYPE_INT64, value))->handle();
}

int64_t xpc_int64_get_value(xpc_object_t object)
{
    auto* value = objectOf<Int64Value>(object, XPC_TYPE_INT64);
    return value != nullptr ? value->fValue : 0;
}

xpc_object_t xpc_bool_create(bool value)
{
    return (new BoolValue(XPC_TYPE_BOOL, value))->handle();
}

bool xpc_bool_get_value(xpc_object_t object)
{
    auto* value = objectOf<BoolValue>(object, XPC_TYPE_BOOL);
    return value != nullptr && value->fValue;
}

xpc_object_t xpc_string_create(const char* string)
{
    return (new StringValue(XPC_TYPE_STRING, string != nullptr ? string : ""))->handle();
}

const char* xpc_string_get_string_ptr(xpc_object_t object)
{
    auto* value = objectOf<StringValue>(object, XPC_TYPE_STRING);
    return value != nullptr ? value->fValue.c_str() : nullptr;
}

xpc_object_t xpc_data_create(const void* bytes, size_t length)
{
    auto* first = static_cast<const uint8_t*>(bytes);
    std::vector<uint8_t> data =
        first != nullptr ? std::vector<uint8_t>(first, first + length) : std::vector<uint8_t>();
    return (new DataValue(XPC_TYPE_DATA, std::move(data)))->handle();
}

size_t xpc_data_get_length(xpc_object_t object)
{
    auto* value = objectOf<DataValue>(object, XPC_TYPE_DATA);
    return value != nullptr ? value->fValue.size() : 0;
}

const void* xpc_data_get_bytes_ptr(xpc_object_t object)
{
    auto* value = objectOf<DataValue>(object, XPC_TYPE_DATA);
    return value != nullptr ? value->fValue.data() : nullptr;
}
