// tide-mixer-demo: the mixer application in process on the headless models, listening on UDP port
// 1280, with simulated network endpoints on loopback addresses. It prints the page's calls as a
// timeline and ends with PASS when the page's list matched the endpoints at every step.

#include "MixerPageModel.h"

#include <AppDelegate.h>
#include <MainMenu.h>
#include <MixerEndpoint.h>
#include <UDPPort.h>

#include <AppKitTesting/Application.h>
#include <AppKitTesting/Panels.h>
#include <AppKitTesting/Windows.h>
#include <CoreFoundationTesting/MainBundle.h>
#include <CoreFoundationTesting/RunLoop.h>
#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;
using SimNetwork::LoopbackAddress;
using SimNetwork::MixerEndpoint;

constexpr uint16_t kPort = 1280;

void usage()
{
    std::printf("usage: tide-mixer-demo [--output FOLDER]\n\n"
                "Runs the mixer application in process on the headless window and web view, listening on\n"
                "UDP port %u. Simulated endpoints announce themselves from 127.0.0.1 to 127.0.0.4 every\n"
                "second: \"Studio A\" on this machine, \"Stage\" with network control, \"Booth\" without\n"
                "it, and a sender of garbage. Over about 25 simulated seconds the demo renames, silences\n"
                "and says goodbye, saves and loads a preset (into FOLDER, default the current folder),\n"
                "and prints every page call. It ends with PASS when the page's list matched the\n"
                "endpoints at every step, FAIL otherwise.\n",
                kPort);
}

class Scenario
{
public:
    Scenario(DarwinTesting::ManualClock& clock, std::filesystem::path output)
        : fClock(clock), fOutput(std::move(output)), fStart(DarwinClock::hostNow())
    {}

    void run();
    bool passed() const { return fPassed; }

private:
    double seconds() const { return double(DarwinClock::hostNow() - fStart) / 1e9; }

    void say(const std::string& text) { std::printf("%6.2f s  %s\n", seconds(), text.c_str()); }

    // Prints the page's new calls.
    void printTimeline()
    {
        MixerPageModel* page = currentMixerPage();
        if (!page) {
            return;
        }
        for (; fPrinted < page->timeline().size(); ++fPrinted) {
            say("page: " + page->timeline()[fPrinted]);
        }
        for (const std::string& problem : page->problems()) {
            say("page problem: " + problem);
            fPassed = false;
        }
    }

    // Moves time on in small steps for `span`, sending garbage each second. Each step also lets a
    // millisecond of real time pass, so the listener's reader thread keeps up with simulated time.
    void advance(std::chrono::milliseconds span)
    {
        for (auto done = 0ms; done < span; done += 10ms) {
            std::this_thread::sleep_for(1ms);
            CoreFoundationTesting::advanceAndRun(fClock, 10ms);
            if ((done.count() / 10) % 100 == 0 && fGarbage) {
                fGarbage->sendRaw("\x01 not json {");
                fGarbage->sendOversized(4000);
            }
            printTimeline();
        }
    }

    // Waits until the page lists exactly `names`, within `limit` of simulated time.
    void expectListed(std::set<std::string> names, std::chrono::milliseconds limit = 3000ms)
    {
        for (auto waited = 0ms; waited <= limit; waited += 10ms) {
            MixerPageModel* page = currentMixerPage();
            std::vector<std::string> listed = page ? page->deviceNames() : std::vector<std::string>{};
            if (std::set<std::string>(listed.begin(), listed.end()) == names) {
                std::string text;
                for (const std::string& name : names) {
                    text += (text.empty() ? "" : ", ") + name;
                }
                say("check: the page lists " + (text.empty() ? std::string("nothing") : text));
                return;
            }
            advance(10ms);
        }
        say("check FAILED: the page's list does not match the endpoints");
        fPassed = false;
    }

    DarwinTesting::ManualClock& fClock;
    std::filesystem::path fOutput;
    const uint64_t fStart;
    size_t fPrinted = 0;
    bool fPassed = true;
    std::unique_ptr<MixerEndpoint> fGarbage;
};

void Scenario::run()
{
    AppDelegate* mixer = MainMenu::delegate();
    CoreFoundationTesting::runUntilIdle();
    say("mixer started, listening on UDP port " + std::to_string(mixer->udpPort()));
    MixerEndpoint studio(LoopbackAddress::host(1), kPort,
                         {.model = "Brio",
                          .serial = "BR1001",
                          .name = "studio-mac",
                          .ip = "<src_ip>:8080",
                          .deviceName = "Studio A"});
    MixerEndpoint stage(LoopbackAddress::host(2), kPort,
                        {.model = "Tenor",
                         .serial = "TN2002",
                         .name = "stage-mac",
                         .ip = "<src_ip>:8080",
                         .deviceName = "Stage"});
    MixerEndpoint booth(LoopbackAddress::host(3), kPort,
                        {.model = "Basso",
                         .serial = "BS3003",
                         .name = "booth-mac",
                         .ip = "<src_ip>:8080",
                         .deviceName = "Booth"});
    fGarbage = std::make_unique<MixerEndpoint>(LoopbackAddress::host(4), kPort,
                                               MixerEndpoint::Identity{.serial = "X", .name = "noise"});
    stage.setNetworkControl(true);
    for (MixerEndpoint* endpoint : {&studio, &stage, &booth}) {
        endpoint->startAnnouncing(1s);
    }
    say("endpoints announce every second: Studio A (127.0.0.1), Stage (127.0.0.2, network control), "
        "Booth (127.0.0.3, no network control), garbage (127.0.0.4)");
    expectListed({"Studio A", "Stage"});

    advance(2s);
    say("Booth enables network control");
    booth.setNetworkControl(true);
    expectListed({"Studio A", "Stage", "Booth"});

    advance(2s);
    say("Studio A is renamed Studio B");
    studio.rename("Studio B");
    expectListed({"Studio B", "Stage", "Booth"});

    advance(1s);
    say("Stage says goodbye");
    stage.goSilent();
    stage.goodbye();
    expectListed({"Studio B", "Booth"});

    say("Studio B goes silent");
    studio.goSilent();
    const uint64_t lastHeard = studio.sent().back().fHostTime;
    expectListed({"Booth"}, 15s);
    const double gone = double(DarwinClock::hostNow() - lastHeard) / 1e9;
    say("Studio B disappeared " + std::to_string(gone).substr(0, 5) + " s after it was last heard");
    if (gone < 12 || gone > 14.1) {
        fPassed = false;
    }

    MixerPageModel* page = currentMixerPage();
    const std::string preset = "kAPIVersion=1&name=D\xC3\xA9mo&gain=+3dB&note=50%";
    const std::filesystem::path file = fOutput / "demo.preset";
    AppKitTesting::answerOK(file.string());
    page->post("savePreset_wrn&" + preset);
    advance(100ms);
    std::ifstream saved(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    say("preset saved to " + file.string() + (bytes == preset ? " (its text exactly)" : " (WRONG CONTENT)"));
    fPassed = fPassed && bytes == preset;
    AppKitTesting::answerOK(file.string());
    page->post("loadPreset_wrn");
    advance(100ms);
    const bool loaded = page->lastPreset() == preset;
    say(std::string("preset loaded back: ") + (loaded ? "the page has the same text" : "MISMATCH"));
    fPassed = fPassed && loaded;

    page->post("open Pyx");
    page->post("open wrn");
    page->post("driver");
    advance(100ms);
    for (const std::string& path : AppKitTesting::launchedApplications()) {
        say("launch requested: " + path);
    }
    for (const std::string& url : AppKitTesting::openedURLs()) {
        say("driver page opened: " + url);
    }
    booth.goSilent();
    fGarbage.reset();
    say("closing the window");
    std::fflush(stdout);
    AppKitTesting::performClose(mixer->window());
    // The application would now terminate; the scenario drives the delegate itself.
    mixer->applicationWillTerminate(nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    std::filesystem::path output = std::filesystem::current_path();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage();
            return 0;
        }
        if (std::strcmp(argv[i], "--output") == 0 && i + 1 < argc) {
            output = argv[++i];
            continue;
        }
        usage();
        return 2;
    }
    if (!SimNetwork::udpPortIsFree(kPort)) {
        std::fprintf(stderr,
                     "tide-mixer-demo: UDP port %u is in use by another program; the mixer listens there. "
                     "Stop that program and run the demo again.\n",
                     kPort);
        return 1;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    CoreFoundationTesting::setMainBundle(FADERLY5_BUNDLE);
    installMixerPage();
    DarwinTesting::ManualClock clock;
    Scenario scenario(clock, output);
    // The scenario moves the manual clock itself, so it runs the application's launch and its
    // main loop turns here rather than from inside NSApplicationMain's loop.
    MainMenu::Register(kPort);
    MainMenu::Build();
    MainMenu::delegate()->applicationDidFinishLaunching(nullptr);
    scenario.run();
    MixerPageModel* page = currentMixerPage();
    const bool passed = scenario.passed() && page && page->problems().empty();
    std::printf("%s\n", passed ? "PASS" : "FAIL");
    WebKitTesting::releaseScriptMessageHandlers();
    MainMenu::Release();
    return passed ? 0 : 1;
}
