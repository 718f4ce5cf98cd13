#include <DriverKit/platform/BundleLoading.h>

#include <dlfcn.h>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace DriverKitPlatform {

namespace {

CFDictionaryRef copyInfo(const std::string& bundle)
{
    std::ifstream file(bundle + "/Contents/Info.plist", std::ios::binary);
    if (!file) {
        return nullptr;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    CFDataRef data = CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(bytes.data()),
                                  CFIndex(bytes.size()));
    CFPropertyListRef list = CFPropertyListCreateWithData(kCFAllocatorDefault, data, 0, nullptr, nullptr);
    CFRelease(data);
    if (list != nullptr && CFGetTypeID(list) != CFDictionaryGetTypeID()) {
        CFRelease(list);
        return nullptr;
    }
    return static_cast<CFDictionaryRef>(list);
}

std::string stringValue(CFDictionaryRef dictionary, const char* key)
{
    CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
    const void* value = CFDictionaryGetValue(dictionary, name);
    CFRelease(name);
    char text[1024] = {};
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID() ||
        !CFStringGetCString(static_cast<CFStringRef>(value), text, sizeof(text), kCFStringEncodingUTF8)) {
        return {};
    }
    return text;
}

// The library, when the bundle carries one; its class declarations run as it loads.
bool loadExecutable(const std::string& bundle, CFDictionaryRef info)
{
    const std::string executable = stringValue(info, "CFBundleExecutable");
    const std::string path = bundle + "/Contents/MacOS/" + executable;
    if (executable.empty() || !std::ifstream(path)) {
        return true;
    }
    return dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL) != nullptr;
}

} // namespace

bool loadBundleOnce(const char* bundlePath, const std::function<void(CFDictionaryRef info)>& takeIn)
{
    static std::mutex lock;
    static std::set<std::string>* loaded = new std::set<std::string>;
    const std::string bundle(bundlePath);
    std::lock_guard guard(lock);
    if (loaded->count(bundle) != 0) {
        return true;
    }
    CFDictionaryRef info = copyInfo(bundle);
    if (info == nullptr) {
        return false;
    }
    const bool loadedNow = loadExecutable(bundle, info);
    if (loadedNow) {
        takeIn(info);
        loaded->insert(bundle);
    }
    CFRelease(info);
    return loadedNow;
}

} // namespace DriverKitPlatform
