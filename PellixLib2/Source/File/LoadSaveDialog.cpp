#include "LoadSaveDialog.h"

#include "UString/UStringConvertMac.h"

#include <AppKit/NSOpenPanel.h>
#include <AppKit/NSSavePanel.h>
#include <Foundation/NSHFSFileTypes.h>

#include <fstream>

namespace Pellix {

namespace {

struct PanelRelease
{
    void operator()(NS::Object* panel) const { panel->release(); }
};

template <typename Panel>
using PanelHolder = std::unique_ptr<Panel, PanelRelease>;

void AppendType(CFMutableArrayRef types, CFStringRef type)
{
    if (type) {
        CFArrayAppendValue(types, type);
    }
}

void SetAllowedTypes(NS::SavePanel& panel, const std::vector<LoadSaveDialog::FileFilter>& filters,
                     bool withFileTypes)
{
    auto_cfref<CFMutableArrayRef> types(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    for (const LoadSaveDialog::FileFilter& filter : filters) {
        if (withFileTypes) {
            auto_cfref<CFStringRef> fileType(NSFileTypeForHFSTypeCode(filter.fFileType));
            AppendType(types, fileType);
        }
        AppendType(types, UStringToCF(filter.fExtension));
    }
    panel.setAllowedFileTypes(types);
}

// The chosen file of a panel that answered OK with a URL; empty otherwise.
FileSpecification Chosen(NS::SavePanel& panel)
{
    if (panel.runModal() != NS::ModalResponseOK || !panel.URL()) {
        return FileSpecification();
    }
    auto_cfref<CFStringRef> path(CFURLCopyFileSystemPath(panel.URL(), kCFURLPOSIXPathStyle));
    return path ? FileSpecification(CFToUString(path)) : FileSpecification();
}

} // namespace

FileSpecification LoadSaveDialog::DoOpenDialog(unsigned, const FileSpecification& defaultLocation,
                                               const std::vector<FileFilter>& filters)
{
    try {
        PanelHolder<NS::OpenPanel> panel(NS::OpenPanel::openPanel());
        panel->setCanChooseDirectories(false);
        panel->setAllowsMultipleSelection(false);
        SetAllowedTypes(*panel, filters, true);
        if (!defaultLocation.GetName().empty() && defaultLocation.GetURL()) {
            auto_cfref<CFURLRef> folder(
                defaultLocation.IsFolder()
                    ? static_cast<CFURLRef>(CFRetain(defaultLocation.GetURL()))
                    : CFURLCreateCopyDeletingLastPathComponent(nullptr, defaultLocation.GetURL()));
            panel->setDirectoryURL(folder);
        }
        return Chosen(*panel);
    } catch (...) {
        return FileSpecification();
    }
}

std::unique_ptr<std::istream> LoadSaveDialog::DoOpenDialog(unsigned flags,
                                                           const FileSpecification& defaultLocation,
                                                           const std::vector<FileFilter>& filters,
                                                           FileSpecification& chosen)
{
    chosen = DoOpenDialog(flags, defaultLocation, filters);
    if (!chosen.IsValid() || !chosen.Exists()) {
        return nullptr;
    }
    auto stream = std::make_unique<std::ifstream>();
    stream->open(chosen.GetPOSIXPath(), std::ios::in | std::ios::binary);
    return stream;
}

std::unique_ptr<std::ostream> LoadSaveDialog::DoSaveAsDialog(unsigned, const FileSpecification&,
                                                             const FileFilter& filter,
                                                             FileSpecification& chosen)
{
    FileSpecification file;
    try {
        PanelHolder<NS::SavePanel> panel(NS::SavePanel::savePanel());
        SetAllowedTypes(*panel, {filter}, false);
        file = Chosen(*panel);
    } catch (...) {
        return nullptr;
    }
    if (!file.IsValid()) {
        return nullptr;
    }
    chosen = file;
    auto stream = std::make_unique<std::ofstream>();
    stream->open(file.GetPOSIXPath(), std::ios::out | std::ios::trunc | std::ios::binary);
    return stream;
}

} // namespace Pellix
