#include <libkern/c++/OSDictionary.h>

#include <cstring>

OSDefineMetaClassAndStructors(OSDictionary, OSCollection)
#define super OSCollection

    OSDictionary* OSDictionary::withCapacity(unsigned int capacity)
{
    auto* dictionary = new OSDictionary;
    if (!dictionary->init()) {
        dictionary->release();
        return nullptr;
    }
    dictionary->fEntries.reserve(capacity);
    return dictionary;
}

bool OSDictionary::setObject(const char* key, const OSObject* object)
{
    if (!key || !object) {
        return false;
    }
    object->retain();
    for (auto& entry : fEntries) {
        if (entry.first->isEqualTo(key)) {
            entry.second->release();
            entry.second = const_cast<OSObject*>(object);
            return true;
        }
    }
    const OSSymbol* symbol = OSSymbol::withCString(key);
    if (!symbol) {
        object->release();
        return false;
    }
    fEntries.emplace_back(symbol, const_cast<OSObject*>(object));
    return true;
}

bool OSDictionary::setObject(const OSString* key, const OSObject* object)
{
    return key && setObject(key->getCStringNoCopy(), object);
}

OSObject* OSDictionary::getObject(const char* key) const
{
    for (const auto& entry : fEntries) {
        if (entry.first->isEqualTo(key)) {
            return entry.second;
        }
    }
    return nullptr;
}

OSObject* OSDictionary::getObject(const OSString* key) const
{
    return key ? getObject(key->getCStringNoCopy()) : nullptr;
}

void OSDictionary::removeObject(const char* key)
{
    for (auto entry = fEntries.begin(); entry != fEntries.end(); ++entry) {
        if (entry->first->isEqualTo(key)) {
            entry->first->release();
            entry->second->release();
            fEntries.erase(entry);
            return;
        }
    }
}

OSObject* OSDictionary::getIterationObject(unsigned int index) const
{
    return index < fEntries.size() ? const_cast<OSSymbol*>(fEntries[index].first) : nullptr;
}

void OSDictionary::free()
{
    for (auto& entry : fEntries) {
        entry.first->release();
        entry.second->release();
    }
    fEntries.clear();
    super::free();
}
