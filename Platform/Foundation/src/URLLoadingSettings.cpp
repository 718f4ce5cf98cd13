#include "URLLoadingSettings.h"

#include <mutex>

namespace NSPlatform {

namespace {

std::mutex gLock;

URLLoadingSettings& settings()
{
    static URLLoadingSettings current;
    return current;
}

} // namespace

URLLoadingSettings urlLoadingSettings()
{
    std::lock_guard lock(gLock);
    return settings();
}

void changeURLLoadingSettings(void (*change)(URLLoadingSettings&, const void*), const void* argument)
{
    std::lock_guard lock(gLock);
    change(settings(), argument);
}

} // namespace NSPlatform
