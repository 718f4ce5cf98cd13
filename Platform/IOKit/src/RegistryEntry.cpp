#include "Registry.h"

namespace IOKitPlatform {

using IOKit::Registry;

std::shared_ptr<RegistryEntry> RegistryEntry::create(std::vector<std::string> classChain, std::string name,
                                                     CFDictionaryRef properties)
{
    return Registry::create(std::move(classChain), std::move(name), properties);
}

RegistryEntry::RegistryEntry(std::unique_ptr<State> state) : fState(std::move(state)) {}

RegistryEntry::~RegistryEntry() = default;

void RegistryEntry::attachToParent(const std::shared_ptr<RegistryEntry>& parent)
{
    Registry::shared().attach(*this, parent);
}

void RegistryEntry::registerService()
{
    Registry::shared().publish(*this);
}

void RegistryEntry::terminate()
{
    Registry::shared().terminate(*this);
}

bool RegistryEntry::setProperty(CFStringRef key, CFTypeRef value)
{
    return value != nullptr && Registry::shared().setProperty(*this, key, value);
}

void RegistryEntry::removeProperty(CFStringRef key)
{
    Registry::shared().setProperty(*this, key, nullptr);
}

CFTypeRef RegistryEntry::copyProperty(CFStringRef key) const
{
    return Registry::shared().copyProperty(*this, key);
}

void RegistryEntry::setUserClientProvider(std::shared_ptr<UserClientProvider> provider)
{
    Registry::shared().setProvider(*this, std::move(provider));
}

const std::string& RegistryEntry::name() const
{
    return fState->fName;
}

const std::vector<std::string>& RegistryEntry::classChain() const
{
    return fState->fClassChain;
}

void registerClassAlias(const std::string& alias, const std::string& className)
{
    Registry::shared().addAlias(alias, className);
}

} // namespace IOKitPlatform
