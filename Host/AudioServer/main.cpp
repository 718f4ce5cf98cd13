// tide-audio-host BUNDLE: loads an audio-server plug-in as the audio server does, shows what its
// plug-in object says, prints every property change it reports, and runs until interrupted.

#include "AudioServerHost.h"
#include "PlugInBundle.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/platform/KernelNumbering.h>

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <string>
#include <thread>

namespace {

std::string FourCharacters(UInt32 code)
{
    return {char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
}

AudioObjectPropertyAddress Global(AudioObjectPropertySelector selector)
{
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

std::string ListText(const std::vector<AudioObjectID>& ids)
{
    std::string text = "[";
    for (size_t index = 0; index < ids.size(); ++index) {
        text += (index ? ", " : "") + std::to_string(ids[index]);
    }
    return text + "]";
}

void PrintChange(const HostPropertiesChange& change)
{
    std::string addresses;
    for (const AudioObjectPropertyAddress& address : change.fAddresses) {
        addresses += " {'" + FourCharacters(address.mSelector) + "', '" + FourCharacters(address.mScope) +
                     "', " + std::to_string(address.mElement) + "}";
    }
    std::printf("properties changed: object %u%s\n", change.fObjectID, addresses.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s BUNDLE\n", argv[0]);
        return 2;
    }
    // SIGINT is taken by a thread of its own, so the main run loop can be stopped safely.
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    pthread_sigmask(SIG_BLOCK, &interrupt, nullptr);

    // The plug-in speaks the kernel extension's numbering; driver-extension services are reached
    // through the adapter, as on a system where the driver extension serves the device.
    IOKitPlatform::useKernelNumbering("com_vork_driver_tide_control_interface");

    std::unique_ptr<PlugInBundle> bundle;
    try {
        bundle = PlugInBundle::Load(argv[1]);
    } catch (const BundleError& error) {
        std::fprintf(stderr, "%s: %s\n", argv[1], error.what());
        return 1;
    }
    AudioServerHost host(bundle->Driver());
    host.SetPropertiesChangedObserver(PrintChange);
    if (const OSStatus status = host.Initialize()) {
        std::fprintf(stderr, "Initialize failed: %d\n", int(status));
        return 1;
    }
    UInt32 classID = 0;
    std::string manufacturer;
    host.GetUInt32(kAudioObjectPlugInObject, Global(kAudioObjectPropertyClass), classID);
    host.GetString(kAudioObjectPlugInObject, Global(kAudioObjectPropertyManufacturer), manufacturer);
    std::printf("plug-in class: '%s'\n", FourCharacters(classID).c_str());
    std::printf("manufacturer: %s\n", manufacturer.c_str());
    std::printf("devices: %s\n", ListText(host.DeviceList()).c_str());
    std::fflush(stdout);

    CFRunLoopRef mainLoop = CFRunLoopGetMain();
    std::thread waiter([&] {
        int signal = 0;
        sigwait(&interrupt, &signal);
        CFRunLoopStop(mainLoop);
    });
    CFRunLoopRun();
    waiter.join();
    std::printf("stopped\n");
    return 0;
}
