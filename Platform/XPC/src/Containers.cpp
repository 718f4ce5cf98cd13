#include "Containers.h"

#include "Fatal.h"
#include "Values.h"

namespace XPC {

Dictionary::~Dictionary()
{
    for (auto& [key, value] : fValues) {
        value->release();
    }
}

void Dictionary::adopt(const char* key, Object* value)
{
    auto found = fValues.find(key);
    if (found != fValues.end()) {
        found->second->release();
        if (value != nullptr) {
            found->second = value;
        } else {
            fValues.erase(found);
        }
    } else if (value != nullptr) {
        fValues.emplace(key, value);
    }
}

Object* Dictionary::find(const char* key) const
{
    auto found = fValues.find(key);
    return found != fValues.end() ? found->second : nullptr;
}

Object* Dictionary::copyForMessage()
{
    auto* copy = new Dictionary(type());
    for (const auto& [key, value] : fValues) {
        copy->fValues.emplace(key, value->copyForMessage());
    }
    return copy;
}

Array::~Array()
{
    for (Object* value : fValues) {
        value->release();
    }
}

Object* Array::copyForMessage()
{
    auto* copy = new Array;
    for (Object* value : fValues) {
        copy->fValues.push_back(value->copyForMessage());
    }
    return copy;
}

Dictionary* readableDictionary(xpc_object_t object)
{
    if (auto* dictionary = objectOf<Dictionary>(object, XPC_TYPE_DICTIONARY)) {
        return dictionary;
    }
    return objectOf<Dictionary>(object, XPC_TYPE_ERROR);
}

namespace {

Dictionary* writableDictionary(xpc_object_t object, const char* call, const char* key)
{
    auto* dictionary = objectOf<Dictionary>(object, XPC_TYPE_DICTIONARY);
    if (dictionary == nullptr) {
        fatal(call, "the object is not a dictionary");
    }
    if (key == nullptr) {
        fatal(call, "the key is NULL");
    }
    return dictionary;
}

} // namespace

} // namespace XPC

using XPC::Array;
using XPC::Dictionary;
using XPC::Object;
using XPC::objectOf;
using XPC::readableDictionary;

xpc_object_t xpc_array_create(const xpc_object_t* objects, size_t count)
{
    auto* array = new Array;
    for (size_t index = 0; index < count; ++index) {
        xpc_array_append_value(array->handle(), objects[index]);
    }
    return array->handle();
}

void xpc_array_append_value(xpc_object_t array, xpc_object_t value)
{
    auto* target = objectOf<Array>(array, XPC_TYPE_ARRAY);
    if (target == nullptr || value == nullptr) {
        XPC::fatal("xpc_array_append_value",
                   target == nullptr ? "the object is not an array" : "the value is NULL");
    }
    Object::from(value)->retain();
    target->adopt(Object::from(value));
}

size_t xpc_array_get_count(xpc_object_t array)
{
    auto* source = objectOf<Array>(array, XPC_TYPE_ARRAY);
    return source != nullptr ? source->count() : 0;
}

xpc_object_t xpc_array_get_value(xpc_object_t array, size_t index)
{
    auto* source = objectOf<Array>(array, XPC_TYPE_ARRAY);
    Object* value = source != nullptr ? source->at(index) : nullptr;
    return value != nullptr ? value->handle() : nullptr;
}

xpc_object_t xpc_dictionary_create(const char* const* keys, const xpc_object_t* values, size_t count)
{
    auto* dictionary = new Dictionary;
    for (size_t index = 0; index < count; ++index) {
        xpc_dictionary_set_value(dictionary->handle(), keys[index], values[index]);
    }
    return dictionary->handle();
}

void xpc_dictionary_set_value(xpc_object_t dictionary, const char* key, xpc_object_t value)
{
    Dictionary* target = XPC::writableDictionary(dictionary, "xpc_dictionary_set_value", key);
    if (value != nullptr) {
        Object::from(value)->retain();
    }
    target->adopt(key, Object::from(value));
}

xpc_object_t xpc_dictionary_get_value(xpc_object_t dictionary, const char* key)
{
    Dictionary* source = readableDictionary(dictionary);
    Object* value = source != nullptr && key != nullptr ? source->find(key) : nullptr;
    return value != nullptr ? value->handle() : nullptr;
}

void xpc_dictionary_set_uint64(xpc_object_t dictionary, const char* key, uint64_t value)
{
    XPC::writableDictionary(dictionary, "xpc_dictionary_set_uint64", key)
        ->adopt(key, Object::from(xpc_uint64_create(value)));
}

uint64_t xpc_dictionary_get_uint64(xpc_object_t dictionary, const char* key)
{
    return xpc_uint64_get_value(xpc_dictionary_get_value(dictionary, key));
}

void xpc_dictionary_set_string(xpc_object_t dictionary, const char* key, const char* string)
{
    XPC::writableDictionary(dictionary, "xpc_dictionary_set_string", key)
        ->adopt(key, Object::from(xpc_string_create(string)));
}

const char* xpc_dictionary_get_string(xpc_object_t dictionary, const char* key)
{
    return xpc_string_get_string_ptr(xpc_dictionary_get_value(dictionary, key));
}

size_t xpc_dictionary_get_count(xpc_object_t dictionary)
{
    Dictionary* source = readableDictionary(dictionary);
    return source != nullptr ? source->count() : 0;
}
