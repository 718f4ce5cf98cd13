#pragma once

#include "Object.h"

#include <cstdint>
#include <string>
#include <vector>

namespace XPC {

// An immutable value: uint64, int64, bool, string or data.
template <typename T>
class Value final : public Object
{
public:
    Value(xpc_type_t type, T value, bool immortal = false) : Object(type, immortal), fValue(std::move(value))
    {}

    const T fValue;
};

using UInt64Value = Value<uint64_t>;
using Int64Value = Value<int64_t>;
using BoolValue = Value<bool>;
using StringValue = Value<std::string>;
using DataValue = Value<std::vector<uint8_t>>;

} // namespace XPC
