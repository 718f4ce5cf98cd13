#pragma once

#include <DriverKit/OSObject.h>

#include <vector>

// An ordered collection that keeps a reference to each object.
class OSArray : public OSObject
{
public:
    static OSArray* withCapacity(uint32_t capacity);

    bool setObject(const OSObject* object);
    uint32_t getCount() const;
    // Not retained for the caller.
    OSObject* getObject(uint32_t index) const;

    void free() override;

private:
    std::vector<const OSObject*> fObjects;
};
