#include <AppKit/NSOpenPanel.h>
#include <AppKit/NSSavePanel.h>
#include <Foundation/NSException.h>

#include "PanelScript.h"

namespace NS {

namespace {

std::string Text(CFStringRef string)
{
    char buffer[4096] = {};
    CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingUTF8);
    return buffer;
}

std::optional<std::string> PathOf(CFURLRef url)
{
    char path[4096];
    if (!url || !CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8*>(path), sizeof path)) {
        return std::nullopt;
    }
    return std::string(path);
}

template <typename T>
void Replace(T& held, T value)
{
    if (value) {
        CFRetain(value);
    }
    if (held) {
        CFRelease(held);
    }
    held = value;
}

} // namespace

SavePanel* SavePanel::savePanel()
{
    return new SavePanel("NSSavePanel");
}

OpenPanel* OpenPanel::openPanel()
{
    return new OpenPanel();
}

SavePanel::~SavePanel()
{
    Replace<Array>(fAllowedFileTypes, nullptr);
    Replace<NS::URL>(fDirectoryURL, nullptr);
    Replace<NS::URL>(fURL, nullptr);
}

void SavePanel::setAllowedFileTypes(Array types)
{
    Array copy = types ? CFArrayCreateCopy(nullptr, types) : nullptr;
    Replace(fAllowedFileTypes, copy);
    if (copy) {
        CFRelease(copy);
    }
}

void SavePanel::setDirectoryURL(NS::URL url)
{
    Replace(fDirectoryURL, url);
}

ModalResponse SavePanel::runModal()
{
    AppKitPlatform::PanelRecord record{
        fKind, fCanChooseDirectories, fAllowsMultipleSelection, {}, PathOf(fDirectoryURL)};
    for (CFIndex i = 0; fAllowedFileTypes && i < CFArrayGetCount(fAllowedFileTypes); ++i) {
        record.fAllowedFileTypes.push_back(
            Text(static_cast<CFStringRef>(CFArrayGetValueAtIndex(fAllowedFileTypes, i))));
    }
    AppKitPlatform::PanelAnswer answer = AppKitPlatform::takeAnswer(std::move(record));
    Replace<NS::URL>(fURL, nullptr);
    switch (answer.fKind) {
    case AppKitPlatform::PanelAnswer::OK: {
        CFURLRef chosen = CFURLCreateFromFileSystemRepresentation(
            nullptr, reinterpret_cast<const UInt8*>(answer.fPath.data()),
            static_cast<CFIndex>(answer.fPath.size()), false);
        Replace(fURL, chosen);
        if (chosen) {
            CFRelease(chosen);
        }
        return ModalResponseOK;
    }
    case AppKitPlatform::PanelAnswer::OKWithoutURL:
        return ModalResponseOK;
    case AppKitPlatform::PanelAnswer::Cancel:
        return ModalResponseCancel;
    case AppKitPlatform::PanelAnswer::Exception:
        throw Exception(answer.fExceptionName, answer.fExceptionReason);
    }
    return ModalResponseCancel;
}

} // namespace NS
