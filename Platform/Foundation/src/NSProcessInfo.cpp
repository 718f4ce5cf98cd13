#include <Foundation/NSProcessInfo.h>

#include "ProcessArguments.h"

#include <fstream>
#include <iterator>
#include <mutex>

namespace Foundation {

namespace {

std::mutex gLock;
std::optional<std::vector<std::string>> gOverride;

std::vector<std::string> commandLine()
{
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> arguments;
    for (size_t at = 0; at < all.size();) {
        const size_t end = all.find('\0', at);
        arguments.push_back(all.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? all.size() : end + 1;
    }
    return arguments;
}

} // namespace

std::vector<std::string> processArguments()
{
    {
        std::lock_guard lock(gLock);
        if (gOverride) {
            return *gOverride;
        }
    }
    return commandLine();
}

void overrideProcessArguments(std::optional<std::vector<std::string>> arguments)
{
    std::lock_guard lock(gLock);
    gOverride = std::move(arguments);
}

} // namespace Foundation

namespace NS {

ProcessInfo& ProcessInfo::processInfo()
{
    static ProcessInfo info;
    return info;
}

Array ProcessInfo::copyArguments() const
{
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    for (const std::string& argument : Foundation::processArguments()) {
        CFStringRef string = CFStringCreateWithCString(nullptr, argument.c_str(), kCFStringEncodingUTF8);
        if (string != nullptr) {
            CFArrayAppendValue(array, string);
            CFRelease(string);
        }
    }
    return array;
}

} // namespace NS
