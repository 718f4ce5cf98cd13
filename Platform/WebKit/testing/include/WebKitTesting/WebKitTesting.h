#pragma once

// Test seam of the headless web view: the page a completed load shows, messages the page posts,
// and read-backs of loads, scripts and dropped messages. Every record carries the process-wide
// record sequence number. Main thread only.

#include <WebKit/WebKit.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace WebKitTesting {

// What a loaded page does: it sees the load complete and every later script.
class Page
{
public:
    virtual ~Page() = default;
    virtual void didFinishLoad(const std::string& fileURL) = 0;
    virtual void evaluate(const std::string& script) = 0;
};

// Makes the page of each web view whose load completes.
using PageFactory = std::function<std::unique_ptr<Page>(WK::WebView* webView)>;
void setPageFactory(PageFactory factory);

// The page posts `value` to the handler `name`, as window.webkit.messageHandlers.<name>.postMessage
// would: delivered on a later main-loop turn, converted to the platform's value types.
void postScriptMessage(WK::WebView* webView, const std::string& name, const nlohmann::json& value);

std::vector<WK::WebView*> webViews();
// The page a view shows, or NULL while no load has completed.
Page* pageOf(WK::WebView* webView);

struct LoadRecord
{
    std::string fFileURL;
    std::string fReadAccessURL;
    enum Outcome
    {
        Pending,
        Finished,
        Failed,
    } fOutcome;
    uint64_t fSequence;
};

struct ScriptRecord
{
    std::string fScript;
    bool fOnMainThread;
    bool fReachedPage;
    uint64_t fSequence;
};

struct DroppedMessage
{
    std::string fName;
    uint64_t fSequence;
};

std::vector<LoadRecord> loads();
std::vector<ScriptRecord> scripts();
std::vector<DroppedMessage> droppedMessages();

// Every live web view's controller lets go of its handlers. A host is usually its own handler and
// holds its web view, so a test or demo ends that cycle this way before letting the host go.
void releaseScriptMessageHandlers();

// Forgets the factory, the pages and the records.
void reset();

} // namespace WebKitTesting
