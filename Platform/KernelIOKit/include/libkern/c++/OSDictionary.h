#pragma once

// Objects by string key, each held with one reference, in the order they were first set.

#include <libkern/c++/OSCollection.h>
#include <libkern/c++/OSSymbol.h>

#include <utility>
#include <vector>

inline namespace kernel {

class OSDictionary : public OSCollection
{
    OSDeclareDefaultStructors(OSDictionary)

        public : static OSDictionary* withCapacity(unsigned int capacity);

    // Replaces the object of an existing key. False for a null key or object.
    bool setObject(const char* key, const OSObject* object);
    bool setObject(const OSString* key, const OSObject* object);
    OSObject* getObject(const char* key) const;
    OSObject* getObject(const OSString* key) const;
    void removeObject(const char* key);
    unsigned int getCount() const override { return static_cast<unsigned int>(fEntries.size()); }
    // The key at `index`, as a symbol.
    OSObject* getIterationObject(unsigned int index) const override;

    void free() override;

private:
    std::vector<std::pair<const OSSymbol*, OSObject*>> fEntries;
};

} // namespace kernel
