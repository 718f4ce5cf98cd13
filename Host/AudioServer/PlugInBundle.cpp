#include "PlugInBundle.h"

#include <CoreFoundation/CoreFoundation.h>

#include <dlfcn.h>
#include <sys/stat.h>

namespace {

using Factory = void* (*)(CFAllocatorRef, CFUUIDRef);

std::string Text(CFStringRef string)
{
    char buffer[1024] = {};
    if (string == nullptr || !CFStringGetCString(string, buffer, sizeof(buffer), kCFStringEncodingUTF8)) {
        return {};
    }
    return buffer;
}

template <typename T>
T Value(CFDictionaryRef dictionary, CFStringRef key, CFTypeID type)
{
    if (dictionary == nullptr) {
        return nullptr;
    }
    CFTypeRef value = CFDictionaryGetValue(dictionary, key);
    return value != nullptr && CFGetTypeID(value) == type ? static_cast<T>(value) : nullptr;
}

CFBundleRef OpenBundle(const std::string& path)
{
    struct stat status = {};
    if (stat((path + "/Contents/Info.plist").c_str(), &status) != 0) {
        throw BundleError("no Info.plist in " + path);
    }
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8*>(path.c_str()), CFIndex(path.size()), true);
    CFBundleRef bundle = url != nullptr ? CFBundleCreate(nullptr, url) : nullptr;
    if (url != nullptr) {
        CFRelease(url);
    }
    if (bundle == nullptr) {
        throw BundleError("not a bundle: " + path);
    }
    return bundle;
}

// The factory's function name: CFPlugInTypes names the factory UUID for the plug-in type, and
// CFPlugInFactories the function for that UUID.
std::string FactoryFunction(CFDictionaryRef info)
{
    auto types = Value<CFDictionaryRef>(info, CFSTR("CFPlugInTypes"), CFDictionaryGetTypeID());
    if (types == nullptr) {
        throw BundleError("Info.plist has no CFPlugInTypes");
    }
    CFStringRef typeKey = CFUUIDCreateString(nullptr, kAudioServerPlugInTypeUUID);
    auto factories = Value<CFArrayRef>(types, typeKey, CFArrayGetTypeID());
    CFRelease(typeKey);
    if (factories == nullptr || CFArrayGetCount(factories) == 0) {
        throw BundleError("CFPlugInTypes names no factory for the audio-server plug-in type");
    }
    auto factoryUUID = static_cast<CFStringRef>(CFArrayGetValueAtIndex(factories, 0));
    auto functions = Value<CFDictionaryRef>(info, CFSTR("CFPlugInFactories"), CFDictionaryGetTypeID());
    if (functions == nullptr) {
        throw BundleError("Info.plist has no CFPlugInFactories");
    }
    if (CFGetTypeID(factoryUUID) != CFStringGetTypeID()) {
        throw BundleError("CFPlugInTypes names its factory with no string");
    }
    auto name = Value<CFStringRef>(functions, factoryUUID, CFStringGetTypeID());
    if (name == nullptr) {
        throw BundleError("CFPlugInFactories has no function for factory " + Text(factoryUUID));
    }
    return Text(name);
}

std::string ExecutablePath(const std::string& bundlePath, CFDictionaryRef info)
{
    auto executable = Value<CFStringRef>(info, CFSTR("CFBundleExecutable"), CFStringGetTypeID());
    if (executable == nullptr) {
        throw BundleError("Info.plist has no CFBundleExecutable");
    }
    return bundlePath + "/Contents/MacOS/" + Text(executable);
}

} // namespace

std::unique_ptr<PlugInBundle> PlugInBundle::Load(const std::string& bundlePath)
{
    CFBundleRef bundle = OpenBundle(bundlePath);
    CFDictionaryRef info = CFBundleGetInfoDictionary(bundle);
    const std::string factoryName = FactoryFunction(info);
    const std::string executable = ExecutablePath(bundlePath, info);
    void* module = dlopen(executable.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        throw BundleError("cannot load the executable " + executable + ": " + dlerror());
    }
    auto factory = reinterpret_cast<Factory>(dlsym(module, factoryName.c_str()));
    if (factory == nullptr) {
        throw BundleError("the executable has no factory function " + factoryName);
    }
    void* unknown = factory(nullptr, kAudioServerPlugInTypeUUID);
    if (unknown == nullptr) {
        throw BundleError("the factory " + factoryName + " gave no plug-in");
    }
    auto* table = *static_cast<IUnknownVTbl**>(unknown);
    void* driver = nullptr;
    const HRESULT result =
        table->QueryInterface(unknown, CFUUIDGetUUIDBytes(kAudioServerPlugInDriverInterfaceUUID), &driver);
    table->Release(unknown);
    if (result != S_OK || driver == nullptr) {
        throw BundleError("the plug-in has no driver interface");
    }
    return std::unique_ptr<PlugInBundle>(
        new PlugInBundle(static_cast<AudioServerPlugInDriverRef>(driver), factoryName));
}

PlugInBundle::PlugInBundle(AudioServerPlugInDriverRef driver, std::string factoryName)
    : fDriver(driver), fFactoryName(std::move(factoryName))
{}

PlugInBundle::~PlugInBundle()
{
    (**fDriver).Release(fDriver);
}
