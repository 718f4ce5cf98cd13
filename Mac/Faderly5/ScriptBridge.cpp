#include "AppDelegate.h"

#include <AppKit/NSWorkspace.h>
#include <Foundation/NSBundle.h>
#include <Foundation/NSString.h>
#include <Foundation/NSURL.h>

namespace {

constexpr CFIndex kOpenPrefixLength = 5;  // "open "
constexpr CFIndex kSavePrefixLength = 15; // "savePreset_wrn&"
const char kDriverDownloadPage[] = "https://vork.example/downloads/tide";

} // namespace

void AppDelegate::userContentControllerDidReceiveScriptMessage(WK::UserContentController*,
                                                               WK::ScriptMessage* message)
{
    CFTypeRef body = message->body();
    if (!body || CFGetTypeID(body) != CFStringGetTypeID()) {
        return;
    }
    auto text = static_cast<NS::String>(body);
    if (NS::isEqualToString(text, CFSTR("FD5Init"))) {
        // The page has just loaded and needs the whole list.
        d_devices.requestRefresh();
        if (d_dispatcher) {
            d_dispatcher->post(updateMessage());
        }
    } else if (NS::isEqualToString(text, CFSTR("start"))) {
        runScript(CFSTR("gApp.appdata.updater.updateDriverVersion('2.0.0+95035')"));
    } else if (NS::isEqualToString(text, CFSTR("driver"))) {
        NS::String address = NS::createStringWithUTF8(kDriverDownloadPage);
        NS::URL url = NS::URLWithString(address);
        NS::Workspace::sharedWorkspace().openURL(url);
        CFRelease(url);
        CFRelease(address);
    } else if (NS::hasPrefix(text, CFSTR("open "))) {
        NS::String rest = NS::substringFromIndex(text, kOpenPrefixLength);
        if (NS::containsString(rest, CFSTR("Pyx"))) {
            open_Pyx_firmware_updater(nullptr);
        } else {
            open_wrn_firmware_updater(nullptr);
        }
        CFRelease(rest);
    } else if (NS::hasPrefix(text, CFSTR("savePreset_wrn&")) ||
               NS::hasPrefix(text, CFSTR("savePreset_Pyx&"))) {
        NS::String preset = NS::substringFromIndex(text, kSavePrefixLength);
        runSavePresetFileDialog(preset, NS::hasPrefix(text, CFSTR("savePreset_wrn&")) ? CFSTR("preset")
                                                                                      : CFSTR("Pyxpreset"));
        CFRelease(preset);
    } else if (NS::isEqualToString(text, CFSTR("loadPreset_wrn"))) {
        runLoadPresetFileDialog(CFSTR("preset"));
    } else if (NS::isEqualToString(text, CFSTR("loadPreset_Pyx"))) {
        runLoadPresetFileDialog(CFSTR("Pyxpreset"));
    }
}

void AppDelegate::open_Pyx_firmware_updater(NS::Object*)
{
    launchUpdater("Vork Pyx Firmware Updater.app");
}

void AppDelegate::open_wrn_firmware_updater(NS::Object*)
{
    launchUpdater("Vork Firmware Updater.app");
}

void AppDelegate::launchUpdater(const char* bundleName)
{
    NS::String resources = NS::Bundle::mainBundle()->resourcePath();
    NS::String path = NS::stringWithFormat("%@/%s", resources, bundleName);
    NS::Workspace::sharedWorkspace().launchApplication(path);
    CFRelease(path);
    CFRelease(resources);
}
