#pragma once

// The mixer in process on the headless models: a fixture bundle named as the main bundle (its page
// and two updater bundles), the page stand-in on every loaded web view, and the delegate's three
// application methods run around the main loop.

#include <AppDelegate.h>
#include <MixerPageModel.h>

#include <AppKitTesting/Application.h>
#include <AppKitTesting/Panels.h>
#include <AppKitTesting/Windows.h>
#include <CoreFoundationTesting/MainBundle.h>
#include <CoreFoundationTesting/RunLoop.h>
#include <WebKitTesting/WebKitTesting.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class MixerFixture : public testing::Test
{
protected:
    void SetUp() override
    {
        fFolder = std::filesystem::path(testing::TempDir()) /
                  ("mixer-" + std::to_string(getpid()) + "-" + std::to_string(sCount++));
        std::filesystem::remove_all(fFolder);
        fBundle = fFolder / "Faderly5.app";
        makeApplication(fBundle, "faderly5");
        writeFile(resources() / "wrenlet/index.html", "<html></html>");
        makeApplication(resources() / "Vork Pyx Firmware Updater.app", "pyx-updater");
        makeApplication(resources() / "Vork Firmware Updater.app", "wrenlet-updater");
        CoreFoundationTesting::setMainBundle(fBundle.string());
        installMixerPage();
    }

    void TearDown() override
    {
        if (fDelegate) {
            if (fLaunched && !fTerminated) {
                fDelegate->applicationWillTerminate(nullptr);
            }
            WebKitTesting::releaseScriptMessageHandlers();
            fDelegate->release();
        }
        CoreFoundationTesting::runUntilIdle();
        AppKitTesting::resetApplication();
        AppKitTesting::resetPanels();
        WebKitTesting::reset();
        CoreFoundationTesting::resetMainBundle();
        std::filesystem::remove_all(fFolder);
    }

    // Launches the mixer and lets the page load and post its first messages.
    void launch()
    {
        fDelegate = AppDelegate::create(0);
        NS::Application::sharedApplication().setDelegate(fDelegate);
        fDelegate->applicationDidFinishLaunching(nullptr);
        fLaunched = true;
        CoreFoundationTesting::runUntilIdle();
    }

    void terminate()
    {
        fDelegate->applicationWillTerminate(nullptr);
        fTerminated = true;
    }

    MixerPageModel* page() const { return currentMixerPage(); }

    // The page posts a message; the bridge answers on later turns.
    void post(const nlohmann::json& body)
    {
        WebKitTesting::postScriptMessage(fDelegate->webView(), "msgJStoObjC", body);
        CoreFoundationTesting::runUntilIdle();
    }

    std::filesystem::path resources() const { return fBundle / "Contents/Resources"; }

    // The scripts run on the web view from the `first`th on.
    static std::vector<std::string> scriptsAfter(size_t first)
    {
        std::vector<std::string> texts;
        const std::vector<WebKitTesting::ScriptRecord> scripts = WebKitTesting::scripts();
        for (size_t i = first; i < scripts.size(); ++i) {
            texts.push_back(scripts[i].fScript);
        }
        return texts;
    }

    static void writeFile(const std::filesystem::path& path, const std::string& bytes)
    {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }

    static std::string readFile(const std::filesystem::path& path)
    {
        std::ifstream file(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    static void makeApplication(const std::filesystem::path& bundle, const std::string& executable)
    {
        writeFile(bundle / "Contents/Info.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                  "\t<key>CFBundleExecutable</key>\n\t<string>" +
                      executable +
                      "</string>\n"
                      "</dict>\n</plist>\n");
        writeFile(bundle / "Contents/MacOS" / executable, "#!/bin/sh\n");
        std::filesystem::permissions(bundle / "Contents/MacOS" / executable,
                                     std::filesystem::perms::owner_all);
    }

    static inline int sCount = 0;
    std::filesystem::path fFolder;
    std::filesystem::path fBundle;
    AppDelegate* fDelegate = nullptr;
    bool fLaunched = false;
    bool fTerminated = false;
};
