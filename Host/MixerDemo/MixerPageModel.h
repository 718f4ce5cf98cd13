#pragma once

// The mixer's page in C++, for the headless web view: it understands exactly the four calls the
// host makes, keeps the endpoint list, the driver version and the last preset, and posts the
// page's messages. Anything else it is given is a problem, which its users check.

#include <WebKitTesting/WebKitTesting.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

class MixerPageModel : public WebKitTesting::Page
{
public:
    // Without a web view the page only receives calls.
    explicit MixerPageModel(WK::WebView* webView = nullptr) : fWebView(webView) {}

    // Once per load: "FD5Init", then "start".
    void didFinishLoad(const std::string& fileURL) override;
    void evaluate(const std::string& script) override;

    // The page's buttons.
    void post(const nlohmann::json& body);

    // The listed endpoints, keyed by their whole JSON record.
    const std::map<std::string, nlohmann::json>& devices() const { return fDevices; }
    // The listed endpoints' display names, in the list's order.
    std::vector<std::string> deviceNames() const;
    const std::optional<std::string>& driverVersion() const { return fDriverVersion; }
    const std::optional<std::string>& lastPreset() const { return fLastPreset; }
    // The calls in order, each decoded into one readable line.
    const std::vector<std::string>& timeline() const { return fTimeline; }
    const std::vector<std::string>& problems() const { return fProblems; }

    // The record JSON of a Base64 record, or nothing when it is not one.
    static std::optional<nlohmann::json> decodeRecord(const std::string& base64);
    // Whether the list holds exactly these Base64 records.
    bool listsExactly(const std::vector<std::string>& base64Records) const;

private:
    void problem(const std::string& text) { fProblems.push_back(text); }

    WK::WebView* fWebView;
    std::map<std::string, nlohmann::json> fDevices;
    std::optional<std::string> fDriverVersion;
    std::optional<std::string> fLastPreset;
    std::vector<std::string> fTimeline;
    std::vector<std::string> fProblems;
};

// Installs a page factory that makes a MixerPageModel for every loaded web view.
void installMixerPage();
// The page shown by the first web view, or NULL.
MixerPageModel* currentMixerPage();
