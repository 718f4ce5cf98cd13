#include "Preferences/PreferencesStore.h"

#include "Preferences/PreferencesFolder.h"
#include "PropertyList/Owned.h"
#include "PropertyList/PropertyListFile.h"
#include <CFPlatform/FileReplacement.h>

#include <CoreFoundation/CFDictionary.h>

#include <map>
#include <mutex>
#include <os/log.h>

namespace CFPlatform {

namespace {

struct Domain
{
    Owned values;
    bool changed = false;
};

struct Domains
{
    std::mutex fLock;
    std::map<std::string, Domain> fByApplication;
};

Domains& domains()
{
    static auto* instance = new Domains;
    return *instance;
}

CFMutableDictionaryRef valuesOf(const Domain& domain)
{
    return static_cast<CFMutableDictionaryRef>(const_cast<void*>(domain.values.get()));
}

CFMutableDictionaryRef createEmptyValues()
{
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

// The values of the domain's file: empty when there is none, and when it cannot be read or is not
// a dictionary of preferences, which is logged.
CFMutableDictionaryRef readDomain(const std::string& applicationID)
{
    std::optional<std::string> folder = preferencesFolder();
    if (!folder) {
        os_log_error(OS_LOG_DEFAULT, "Preferences of %{public}s: the user has no home folder",
                     applicationID.c_str());
        return createEmptyValues();
    }
    std::string path = *folder + "/" + applicationID + ".plist";
    CFPropertyListRef plist = nullptr;
    std::string problem;
    switch (readPropertyListFile(path, plist, problem)) {
    case FileReadResult::Missing:
        return createEmptyValues();
    case FileReadResult::Failed:
        break;
    case FileReadResult::Read:
        if (CFGetTypeID(plist) == CFDictionaryGetTypeID()) {
            CFMutableDictionaryRef values =
                CFDictionaryCreateMutableCopy(nullptr, 0, static_cast<CFDictionaryRef>(plist));
            CFRelease(plist);
            return values;
        }
        CFRelease(plist);
        problem = "it does not hold a dictionary";
        break;
    }
    os_log_error(OS_LOG_DEFAULT, "Preferences file %{public}s cannot be read (%{public}s); it reads as empty",
                 path.c_str(), problem.c_str());
    return createEmptyValues();
}

// Called with the domains' lock held.
Domain& domainFor(const std::string& applicationID)
{
    Domain& domain = domains().fByApplication[applicationID];
    if (!domain.values) {
        domain.values.reset(readDomain(applicationID));
    }
    return domain;
}

bool writeDomainFile(const std::string& applicationID, CFDictionaryRef values, std::string& problem)
{
    std::optional<std::string> folder = preferencesFolder();
    if (!folder) {
        problem = "the user has no home folder";
        return false;
    }
    if (!makeFolders(*folder)) {
        problem = "its folder cannot be made";
        return false;
    }
    Owned data(CFPropertyListCreateData(nullptr, values, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
    if (!data) {
        problem = "the values cannot be written as a property list";
        return false;
    }
    auto document = static_cast<CFDataRef>(data.get());
    return replaceFileContent(*folder + "/" + applicationID + ".plist",
                              {reinterpret_cast<const char*>(CFDataGetBytePtr(document)),
                               static_cast<size_t>(CFDataGetLength(document))},
                              problem);
}

} // namespace

CFPropertyListRef copyPreference(CFStringRef key, const std::string& applicationID)
{
    std::lock_guard lock(domains().fLock);
    CFTypeRef value = CFDictionaryGetValue(valuesOf(domainFor(applicationID)), key);
    return value ? CFRetain(value) : nullptr;
}

void setPreference(CFStringRef key, CFPropertyListRef value, const std::string& applicationID)
{
    std::lock_guard lock(domains().fLock);
    Domain& domain = domainFor(applicationID);
    if (value) {
        CFDictionarySetValue(valuesOf(domain), key, value);
    } else {
        CFDictionaryRemoveValue(valuesOf(domain), key);
    }
    domain.changed = true;
}

bool synchronizePreferences(const std::string& applicationID)
{
    std::lock_guard lock(domains().fLock);
    auto found = domains().fByApplication.find(applicationID);
    if (found == domains().fByApplication.end() || !found->second.changed) {
        return true;
    }
    std::string problem;
    if (!writeDomainFile(applicationID, valuesOf(found->second), problem)) {
        os_log_error(OS_LOG_DEFAULT, "Preferences of %{public}s cannot be saved (%{public}s)",
                     applicationID.c_str(), problem.c_str());
        return false;
    }
    found->second.changed = false;
    return true;
}

void forgetPreferences()
{
    std::lock_guard lock(domains().fLock);
    domains().fByApplication.clear();
}

} // namespace CFPlatform
