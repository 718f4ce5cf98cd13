#include "MixerPageModel.h"

#include <CFPlatform/Base64.h>
#include <CFPlatform/String.h>

#include <string_view>

namespace {

constexpr std::string_view kVersionCall = "gApp.appdata.updater.updateDriverVersion('";
constexpr std::string_view kAddCall = "gApp.appdata.networkDeviceList.discoveryAdd('";
constexpr std::string_view kRemoveCall = "gApp.appdata.networkDeviceList.discoveryRemove('";
constexpr std::string_view kPresetCall = "gApp.appdata.datastore.applyPreset('";
constexpr std::string_view kCallEnd = "')";

// The argument of `call('argument')`, when the script is exactly that call.
std::optional<std::string> argumentOf(const std::string& script, std::string_view call)
{
    if (!script.starts_with(call) || !script.ends_with(kCallEnd) ||
        script.size() < call.size() + kCallEnd.size()) {
        return std::nullopt;
    }
    std::string argument = script.substr(call.size(), script.size() - call.size() - kCallEnd.size());
    if (argument.find('\'') != std::string::npos || argument.find('\\') != std::string::npos) {
        return std::nullopt;
    }
    return argument;
}

std::optional<std::string> decodeBase64Text(const std::string& base64)
{
    if (base64.find_first_of(" \t\r\n") != std::string::npos) {
        return std::nullopt;
    }
    std::optional<std::vector<unsigned char>> bytes = CFPlatform::decodeBase64(base64);
    if (!bytes) {
        return std::nullopt;
    }
    return std::string(bytes->begin(), bytes->end());
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// decodeURIComponent: every "%XX" becomes its byte; the result must be UTF-8.
std::optional<std::string> decodeURIComponent(const std::string& text)
{
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size() || hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0) {
            return std::nullopt;
        }
        decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
        i += 2;
    }
    CFStringRef valid = CFPlatform::createStringFromUTF8(decoded);
    if (!valid) {
        return std::nullopt;
    }
    CFRelease(valid);
    return decoded;
}

} // namespace

std::optional<nlohmann::json> MixerPageModel::decodeRecord(const std::string& base64)
{
    std::optional<std::string> text = decodeBase64Text(base64);
    if (!text) {
        return std::nullopt;
    }
    nlohmann::json record = nlohmann::json::parse(*text, nullptr, false);
    if (!record.is_object() || record.size() != 5) {
        return std::nullopt;
    }
    for (const char* key : {"deviceName", "hostname", "ip", "model", "serial"}) {
        if (!record.contains(key) || !record[key].is_string()) {
            return std::nullopt;
        }
    }
    return record;
}

void MixerPageModel::didFinishLoad(const std::string&)
{
    post("FD5Init");
    post("start");
}

void MixerPageModel::post(const nlohmann::json& body)
{
    if (fWebView) {
        WebKitTesting::postScriptMessage(fWebView, "msgJStoObjC", body);
    }
}

void MixerPageModel::evaluate(const std::string& script)
{
    if (std::optional<std::string> version = argumentOf(script, kVersionCall)) {
        fDriverVersion = version;
        fTimeline.push_back("driver version " + *version);
        return;
    }
    const bool add = script.starts_with(kAddCall);
    if (std::optional<std::string> base64 = argumentOf(script, add ? kAddCall : kRemoveCall)) {
        std::optional<nlohmann::json> record = decodeRecord(*base64);
        if (!record) {
            problem("a device record that does not decode: " + script);
            return;
        }
        const std::string key = record->dump();
        if (add) {
            fDevices[key] = *record;
        } else {
            fDevices.erase(key);
        }
        fTimeline.push_back(
            std::string(add ? "add " : "remove ") + (*record)["deviceName"].get<std::string>() + " (" +
            (*record)["model"].get<std::string>() + ", " + (*record)["ip"].get<std::string>() + ")");
        return;
    }
    if (std::optional<std::string> base64 = argumentOf(script, kPresetCall)) {
        std::optional<std::string> escaped = decodeBase64Text(*base64);
        std::optional<std::string> text = escaped ? decodeURIComponent(*escaped) : std::nullopt;
        if (!text) {
            problem("a preset that does not decode: " + script);
            return;
        }
        fLastPreset = text;
        fTimeline.push_back("preset applied (" + std::to_string(text->size()) + " bytes)");
        return;
    }
    problem("a call the page does not know: " + script);
}

bool MixerPageModel::listsExactly(const std::vector<std::string>& base64Records) const
{
    std::map<std::string, nlohmann::json> expected;
    for (const std::string& base64 : base64Records) {
        std::optional<nlohmann::json> record = decodeRecord(base64);
        if (!record) {
            return false;
        }
        expected[record->dump()] = *record;
    }
    return expected == fDevices;
}

std::vector<std::string> MixerPageModel::deviceNames() const
{
    std::vector<std::string> names;
    for (const auto& entry : fDevices) {
        names.push_back(entry.second["deviceName"].get<std::string>());
    }
    return names;
}

void installMixerPage()
{
    WebKitTesting::setPageFactory([](WK::WebView* webView) -> std::unique_ptr<WebKitTesting::Page> {
        return std::make_unique<MixerPageModel>(webView);
    });
}

MixerPageModel* currentMixerPage()
{
    const std::vector<WK::WebView*> views = WebKitTesting::webViews();
    return views.empty() ? nullptr : dynamic_cast<MixerPageModel*>(WebKitTesting::pageOf(views.front()));
}
