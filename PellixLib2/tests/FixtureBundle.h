#pragma once

// A bundle folder made for a test, known to CoreFoundation under its own identifier.

#include "TempFolder.h"

#include <CoreFoundation/CoreFoundation.h>

#include <filesystem>
#include <string>

class FixtureBundle
{
public:
    // `resources` are (path below Contents/Resources, content) pairs.
    FixtureBundle(const std::string& identifier,
                  std::initializer_list<std::pair<std::string, std::string>> resources)
        : fIdentifier(identifier)
    {
        std::filesystem::create_directories(fFolder.path() / "Fixture.bundle/Contents/Resources");
        fFolder.write("Fixture.bundle/Contents/Info.plist",
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                      "\t<key>CFBundleIdentifier</key>\n\t<string>" +
                          identifier + "</string>\n</dict>\n</plist>\n");
        for (const auto& [path, content] : resources) {
            std::filesystem::path file = fFolder.path() / "Fixture.bundle/Contents/Resources" / path;
            std::filesystem::create_directories(file.parent_path());
            fFolder.write(std::filesystem::relative(file, fFolder.path()).string(), content);
        }
        std::string bundlePath = fFolder / "Fixture.bundle";
        CFURLRef url = CFURLCreateFromFileSystemRepresentation(
            nullptr, reinterpret_cast<const UInt8*>(bundlePath.data()),
            static_cast<CFIndex>(bundlePath.size()), true);
        fBundle = CFBundleCreate(nullptr, url);
        CFRelease(url);
        EXPECT_NE(fBundle, nullptr);
    }
    ~FixtureBundle()
    {
        if (fBundle) {
            CFRelease(fBundle);
        }
    }
    FixtureBundle(const FixtureBundle&) = delete;
    FixtureBundle& operator=(const FixtureBundle&) = delete;

    const std::string& identifier() const { return fIdentifier; }
    std::string resources() const { return fFolder / "Fixture.bundle/Contents/Resources"; }

private:
    TempFolder fFolder;
    std::string fIdentifier;
    CFBundleRef fBundle = nullptr;
};
