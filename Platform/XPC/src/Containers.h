#pragma once

#include "Object.h"

#include <map>
#include <string>
#include <vector>

namespace XPC {

// A dictionary, or an error (a dictionary of type XPC_TYPE_ERROR). Holds a reference to each value.
class Dictionary final : public Object
{
public:
    explicit Dictionary(xpc_type_t type = XPC_TYPE_DICTIONARY, bool immortal = false) : Object(type, immortal)
    {}
    ~Dictionary() override;

    // Takes over the caller's reference to `value`; null removes the key.
    void adopt(const char* key, Object* value);
    Object* find(const char* key) const;
    size_t count() const { return fValues.size(); }

    Object* copyForMessage() override;

private:
    std::map<std::string, Object*, std::less<>> fValues;
};

class Array final : public Object
{
public:
    Array() : Object(XPC_TYPE_ARRAY) {}
    ~Array() override;

    // Takes over the caller's reference to `value`.
    void adopt(Object* value) { fValues.push_back(value); }
    Object* at(size_t index) const { return index < fValues.size() ? fValues[index] : nullptr; }
    size_t count() const { return fValues.size(); }

    Object* copyForMessage() override;

private:
    std::vector<Object*> fValues;
};

// The dictionary or error an object is, else null.
Dictionary* readableDictionary(xpc_object_t object);

} // namespace XPC
