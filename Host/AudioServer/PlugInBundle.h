#pragma once

// Loads an audio-server plug-in as the audio server does: the bundle's Info.plist names the
// factory registered for the plug-in type and the executable that holds it; the factory's driver
// interface is then asked for through QueryInterface.

#include <CoreAudio/AudioServerPlugIn.h>

#include <memory>
#include <stdexcept>
#include <string>

// A bundle that cannot be loaded, with what is missing.
class BundleError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class PlugInBundle
{
public:
    // Throws BundleError.
    static std::unique_ptr<PlugInBundle> Load(const std::string& bundlePath);

    // Releases the driver interface. The module stays loaded: its state is the process's.
    ~PlugInBundle();
    PlugInBundle(const PlugInBundle&) = delete;
    PlugInBundle& operator=(const PlugInBundle&) = delete;

    AudioServerPlugInDriverRef Driver() const { return fDriver; }
    const std::string& FactoryName() const { return fFactoryName; }

private:
    PlugInBundle(AudioServerPlugInDriverRef driver, std::string factoryName);

    AudioServerPlugInDriverRef fDriver;
    std::string fFactoryName;
};
