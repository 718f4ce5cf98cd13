#include "AppDelegate.h"
#include "PresetFile.h"

#include <AppKit/NSOpenPanel.h>
#include <AppKit/NSSavePanel.h>
#include <Foundation/NSString.h>
#include <Foundation/NSURL.h>

namespace {

NS::Array arrayOf(NS::String type)
{
    const void* values[] = {type};
    return CFArrayCreate(nullptr, values, 1, &kCFTypeArrayCallBacks);
}

} // namespace

void AppDelegate::runSavePresetFileDialog(NS::String text, NS::String fileType)
{
    if (NS::UTF8String(text).size() > kMaximumPresetBytes || !_window) {
        return;
    }
    NS::SavePanel* panel = NS::SavePanel::savePanel();
    NS::Array types = arrayOf(fileType);
    panel->setAllowedFileTypes(types);
    CFRelease(types);
    CFRetain(text);
    panel->beginSheetModalForWindow(_window, [panel, text](NS::ModalResponse response) {
        if (response == NS::ModalResponseOK && panel->URL()) {
            NS::String path = NS::path(panel->URL());
            NS::writeToFile(text, path, true, NS::UTF8StringEncoding, nullptr);
            CFRelease(path);
        }
        CFRelease(text);
    });
    panel->release();
}

void AppDelegate::runLoadPresetFileDialog(NS::String fileType)
{
    if (!_window) {
        return;
    }
    NS::OpenPanel* panel = NS::OpenPanel::openPanel();
    NS::Array types = arrayOf(fileType);
    panel->setAllowedFileTypes(types);
    CFRelease(types);
    panel->setCanChooseFiles(true);
    panel->setCanChooseDirectories(false);
    panel->setAllowsMultipleSelection(false);
    retain();
    panel->beginSheetModalForWindow(_window, [this, panel](NS::ModalResponse response) {
        NS::Array chosen = panel->URLs();
        if (response == NS::ModalResponseOK && CFArrayGetCount(chosen) > 0) {
            NS::String path = NS::path(static_cast<NS::URL>(CFArrayGetValueAtIndex(chosen, 0)));
            if (NS::String text = readPresetText(path)) {
                if (NS::String script = applyPresetScript(text)) {
                    runScript(script);
                    CFRelease(script);
                }
                CFRelease(text);
            }
            CFRelease(path);
        }
        CFRelease(chosen);
        release();
    });
    panel->release();
}
