#include <AppKit/NSSavePanel.h>
#include <AppKit/NSWindow.h>
#include <CFPlatform/String.h>
#include <dispatch/dispatch.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>

namespace NS {

namespace {

// The sheets of each window, the one shown first; main thread only.
std::map<Window*, std::deque<std::function<void()>>>& sheetQueues()
{
    static auto* queues = new std::map<Window*, std::deque<std::function<void()>>>;
    return *queues;
}

void showNextSheet(Window* window)
{
    dispatch_async(dispatch_get_main_queue(), [window] {
        auto& queues = sheetQueues();
        std::function<void()> sheet = std::move(queues[window].front());
        sheet();
        queues[window].pop_front();
        if (queues[window].empty()) {
            queues.erase(window);
        } else {
            showNextSheet(window);
        }
    });
}

std::string pathOf(CFURLRef url)
{
    CFStringRef path = CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle);
    std::string text = CFPlatform::utf8Of(path).value_or("");
    CFRelease(path);
    return text;
}

[[noreturn]] void refuse(const std::string& path, const char* why)
{
    std::fprintf(stderr, "NSOpenPanel sheet: no user could choose \"%s\": %s\n", path.c_str(), why);
    std::abort();
}

} // namespace

void SavePanel::beginSheetModalForWindow(Window* window, std::function<void(ModalResponse)> handler)
{
    retain();
    window->retain();
    auto& queue = sheetQueues()[window];
    queue.push_back([this, window, handler = std::move(handler)] {
        const ModalResponse response = runSheet();
        if (handler) {
            handler(response);
        }
        window->release();
        release();
    });
    if (queue.size() == 1) {
        showNextSheet(window);
    }
}

ModalResponse SavePanel::runSheet()
{
    const ModalResponse response = runModal();
    if (response != ModalResponseOK || !fURL) {
        return response;
    }
    std::filesystem::path chosen = pathOf(fURL);
    std::vector<std::string> types;
    for (CFIndex i = 0; fAllowedFileTypes && i < CFArrayGetCount(fAllowedFileTypes); ++i) {
        types.push_back(
            CFPlatform::utf8Of(static_cast<CFStringRef>(CFArrayGetValueAtIndex(fAllowedFileTypes, i)))
                .value_or(""));
    }
    const std::string extension = chosen.has_extension() ? chosen.extension().string().substr(1) : "";
    const bool allowedType = types.empty() || std::find(types.begin(), types.end(), extension) != types.end();
    if (fKind == "NSSavePanel") {
        if (!allowedType) {
            chosen += "." + types.front();
            const std::string text = chosen.string();
            CFURLRef url =
                CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                                        static_cast<CFIndex>(text.size()), false);
            CFRelease(fURL);
            fURL = url;
        }
        return response;
    }
    std::error_code error;
    const bool isFolder = std::filesystem::is_directory(chosen, error);
    if (isFolder && !fCanChooseDirectories) {
        refuse(chosen.string(), "the panel chooses no folders");
    }
    if (!isFolder && (!fCanChooseFiles || !allowedType)) {
        refuse(chosen.string(), fCanChooseFiles ? "its type is not allowed" : "the panel chooses no files");
    }
    return response;
}

Array SavePanel::URLs() const
{
    CFMutableArrayRef urls = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    if (fURL) {
        CFArrayAppendValue(urls, fURL);
    }
    return urls;
}

} // namespace NS
