#pragma once

#include <DriverKit/OSObject.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

class OSString;

// String keys to objects; keeps a reference to each object. Setting a key again replaces its object.
class OSDictionary : public OSObject
{
public:
    static OSDictionary* withCapacity(uint32_t capacity);

    bool setObject(const OSString* key, const OSObject* object);
    bool setObject(const char* key, const OSObject* object);
    // Not retained for the caller.
    OSObject* getObject(const OSString* key) const;
    OSObject* getObject(const char* key) const;
    uint32_t getCount() const;
    // Calls `visit` with each key and object in the order set; stops when it returns true.
    void iterateObjects(const std::function<bool(const char* key, OSObject* object)>& visit) const;

    void free() override;

private:
    std::vector<std::pair<std::string, const OSObject*>> fEntries;
};
