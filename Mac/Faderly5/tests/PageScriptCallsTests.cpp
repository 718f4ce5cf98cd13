// Writes the host's calls for the page's own script test: the discovery's rename, expiry and
// refresh steps with the list the host holds after each, and preset payloads with their texts.

#include <DeviceRecord.h>
#include <DiscoveryUpdate.h>
#include <PresetFile.h>

#include <CFPlatform/FileReplacement.h>
#include <Foundation/NSString.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

nlohmann::json announcement(const std::string& deviceName)
{
    return {{"model", "TideProxy-Brio"},
            {"ip", "127.0.0.1:8080"},
            {"serial", "BR1"},
            {"name", "studio"},
            {"deviceName", deviceName}};
}

TEST(PageScriptCalls, AreWrittenWithWhatThePageMustShowAfterEach)
{
    MessageQueue queue;
    DiscoveryUpdate update;
    nlohmann::json steps = nlohmann::json::array();
    const auto step = [&](double now) {
        nlohmann::json names = nlohmann::json::array();
        std::vector<std::string> calls = update.update(queue, 1000 + now, {"127.0.0.1"});
        for (const auto& entry : update.netDevices()) {
            names.push_back(entry.first.deviceName);
        }
        steps.push_back({{"calls", calls}, {"names", names}});
    };
    queue.PushMessage(announcement("Studio A").dump());
    queue.PushMessage(announcement("Caf\xC3\xA9 \xE6\xB7\xB7 \xF0\x9F\x8E\x9B").dump());
    step(0);
    queue.PushMessage(announcement("Studio B").dump());
    step(1);
    update.requestRefresh();
    step(2);
    step(20);

    nlohmann::json presets = nlohmann::json::array();
    for (const std::string& text : {std::string("kAPIVersion=1&a=+b%20&c=%&d=caf\xC3\xA9"),
                                    std::string("kAPIVersion\0nul", 15), std::string()}) {
        NS::String string = NS::createStringWithUTF8(text);
        NS::String script = applyPresetScript(string);
        presets.push_back({{"call", NS::UTF8String(script)}, {"text", text}});
        CFRelease(script);
        CFRelease(string);
    }
    EXPECT_EQ(steps.size(), 4u);
    std::string problem;
    ASSERT_TRUE(CFPlatform::replaceFileContent(
        MIXER_PAGE_CALLS_FILE, nlohmann::json{{"steps", steps}, {"presets", presets}}.dump(2), problem))
        << problem;
}

} // namespace
