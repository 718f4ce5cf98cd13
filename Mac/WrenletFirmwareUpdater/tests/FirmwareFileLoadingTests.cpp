// The file side of the updater: local files and downloads loaded, unpacked 1 ms later, and offered or
// refused with the window's texts.
#include "ContainerFiles.h"
#include "FirmwareFileLoading.h"
#include "FirmwareSite.h"

#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>
#include <FoundationTesting/URLLoading.h>
#include <SimNetwork/FirmwareServer.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <random>
#include <thread>

using namespace std::chrono_literals;

namespace {

// What the window and the Updater are told.
struct Recorder : FirmwareFileLoading::Client
{
    void SetFirmwareFileWithStatus(const std::string& label, bool ok) override
    {
        fileLabel = label;
        calls.push_back("file " + label + (ok ? " set" : ""));
    }
    void SetFileVersion(const std::string& version) override
    {
        fileVersion = version;
        calls.push_back("version " + version);
    }
    void FirmwareVerified(std::shared_ptr<const FirmwareContainer> container,
                          const std::string& fileName) override
    {
        verified = container;
        calls.push_back("verified " + fileName + " " + container->FirmwareVersion() + ":" +
                        container->FPGAVersion());
    }
    void FirmwareDropped() override
    {
        verified.reset();
        calls.push_back("dropped");
    }

    std::vector<std::string> calls;
    std::string fileLabel;
    std::string fileVersion = "old";
    std::shared_ptr<const FirmwareContainer> verified;
};

class FirmwareFileLoadingTest : public ::testing::Test
{
protected:
    void SetUp() override { FoundationTesting::resetURLLoading(); }
    void TearDown() override
    {
        fLoading.reset();
        CoreFoundationTesting::runUntilIdle();
        FoundationTesting::resetURLLoading();
    }

    // Loads the bytes as a chosen file and lets 1 ms pass; returns what was printed.
    std::string choose(const Bytes& bytes)
    {
        fFolder.write("update.image", bytes);
        fRecorder.calls.clear();
        ::testing::internal::CaptureStdout();
        fLoading->SetFirmwareFile(fFolder.path("update.image"));
        CoreFoundationTesting::advanceAndRun(fClock, 1ms);
        return ::testing::internal::GetCapturedStdout();
    }

    DarwinTesting::ManualClock fClock;
    ScratchFolder fFolder;
    Recorder fRecorder;
    std::shared_ptr<FirmwareFileLoading> fLoading = std::make_shared<FirmwareFileLoading>(fRecorder);
};

// Sections that do not compress away, so that half a file is still a file.
ContainerSpec sampleSpec()
{
    Bytes image(3000);
    std::mt19937 random(8);
    for (uint8_t& byte : image) {
        byte = uint8_t(random());
    }
    ContainerSpec spec;
    spec.sections = {image, Bytes{'J', 'A', 'M', 1}, Bytes(30, 0x33), Bytes(7, 0x44)};
    return spec;
}

TEST_F(FirmwareFileLoadingTest, AGoodFileIsOffered1msAfterLoading)
{
    fFolder.write("update.image", xzCompress(signedContainer(sampleSpec())));
    fLoading->SetFirmwareFile(fFolder.path("update.image"));
    CoreFoundationTesting::advanceAndRun(fClock, 999us);
    EXPECT_EQ(fRecorder.calls, std::vector<std::string>{"dropped"});
    CoreFoundationTesting::advanceAndRun(fClock, 1us);
    EXPECT_EQ(fRecorder.calls, (std::vector<std::string>{"dropped", "verified update.image 1.1.0:1.0"}));
}

TEST_F(FirmwareFileLoadingTest, EveryIntegrityCheckIsTaken)
{
    for (const char* check : {"crc32", "crc64", "sha256", "none"}) {
        choose(xzCompress(signedContainer(sampleSpec()), check));
        EXPECT_EQ(fRecorder.calls.back(), "verified update.image 1.1.0:1.0") << check;
    }
}

TEST_F(FirmwareFileLoadingTest, LocalFilesOutsideTheLimitsShowFileError)
{
    const struct
    {
        size_t size;
        const char* printed;
    } rows[] = {{2000001, "SetFirmwareFile: File too large\n"}, {367, "SetFirmwareFile: File too small\n"}};
    for (const auto& row : rows) {
        EXPECT_EQ(choose(Bytes(row.size, 1)), row.printed);
        EXPECT_EQ(fRecorder.calls, (std::vector<std::string>{"dropped", "file File error"}));
    }
    fRecorder.calls.clear();
    ::testing::internal::CaptureStdout();
    fLoading->SetFirmwareFile(fFolder.path("missing.image"));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "SetFirmwareFile: Cannot open file\n");
    EXPECT_EQ(fRecorder.fileLabel, "File error");
    // Within the limits, they go on to unpacking, where these bytes are no xz stream: silent.
    for (const size_t size : {2000000, 368}) {
        EXPECT_EQ(choose(Bytes(size, 1)), "");
        EXPECT_EQ(fRecorder.calls, std::vector<std::string>{"dropped"}) << size;
    }
}

TEST_F(FirmwareFileLoadingTest, RefusedContainersShowWhy)
{
    Bytes extra = signedContainer(sampleSpec());
    extra.push_back(0);
    Bytes tampered = signedContainer(sampleSpec());
    tampered[300] ^= 0x01;
    Bytes truncated = xzCompress(signedContainer(sampleSpec()));
    truncated.resize(truncated.size() / 2);
    choose(xzCompress(extra));
    EXPECT_EQ(fRecorder.calls, (std::vector<std::string>{"dropped", "version ", "file Invalid File"}));
    choose(xzCompress(tampered));
    EXPECT_EQ(fRecorder.calls,
              (std::vector<std::string>{"dropped", "file File Signature Verification Failed"}));
    choose(truncated);
    EXPECT_EQ(fRecorder.calls, std::vector<std::string>{"dropped"});
    EXPECT_FALSE(fRecorder.verified);
}

// The transfers run on real time; the unpacking waits for the manual clock.
bool runUntilVerified(DarwinTesting::ManualClock& clock, const Recorder& recorder)
{
    const auto deadline = std::chrono::steady_clock::now() + DarwinTesting::kPollLimit;
    while (!recorder.verified && std::chrono::steady_clock::now() < deadline) {
        CoreFoundationTesting::advanceAndRun(clock, 1ms);
        std::this_thread::sleep_for(1ms);
    }
    return recorder.verified != nullptr;
}

TEST_F(FirmwareFileLoadingTest, ADownloadShowsTheServerThenOffersTheImage)
{
    const FirmwareSite site(xzCompress(signedContainer(sampleSpec())));
    ::testing::internal::CaptureStdout();
    fLoading->StartDownload();
    EXPECT_EQ(fRecorder.fileLabel, "firmware.vork.example");
    const bool verified = runUntilVerified(fClock, fRecorder);
    ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(verified);
    EXPECT_EQ(fRecorder.calls.back(), "verified wrenlet-1.1.0.image 1.1.0:1.0");

    // Clear File: the download starts again, a new info request on the server.
    fLoading->StartDownload();
    EXPECT_FALSE(fRecorder.verified);
    EXPECT_EQ(fRecorder.fileLabel, "firmware.vork.example");
    ASSERT_TRUE(site.info.waitForRequests(2, 20000));
}

// A download replaced by a chosen file while its info document or its image is on the way is cut
// off and never offered.
TEST_F(FirmwareFileLoadingTest, AChosenFileEndsTheDownloadOnItsWay)
{
    const Bytes file = xzCompress(signedContainer(sampleSpec()));
    const struct
    {
        const char* name;
        bool pendingInfo; // else the image is on its way
    } rows[] = {{"the info document pending", true}, {"the image downloading", false}};
    for (const auto& row : rows) {
        FoundationTesting::resetURLLoading();
        const FirmwareSite site(file, row.pendingInfo ? std::optional<size_t>(1) : std::nullopt,
                                row.pendingInfo ? std::nullopt : std::optional<size_t>(64));
        const SimNetwork::FirmwareServer& onItsWay = row.pendingInfo ? site.info : site.images;
        fLoading->StartDownload();
        const bool started = DarwinTesting::eventually([&] {
            CoreFoundationTesting::runUntilIdle();
            return !onItsWay.log().empty();
        });
        choose(file);
        ASSERT_TRUE(started) << row.name;
        EXPECT_EQ(fRecorder.calls, (std::vector<std::string>{"dropped", "verified update.image 1.1.0:1.0"}))
            << row.name;
        ASSERT_TRUE(onItsWay.waitForRequests(1, 20000)) << row.name;
        CoreFoundationTesting::runUntilIdle();
        EXPECT_TRUE(onItsWay.log()[0].clientClosedEarly) << row.name;
        EXPECT_EQ(fRecorder.calls.back(), "verified update.image 1.1.0:1.0") << row.name;
        if (row.pendingInfo) {
            EXPECT_TRUE(site.images.log().empty()) << row.name;
        }
    }
}

// Clear File twice in a row: only the second download acts.
TEST_F(FirmwareFileLoadingTest, ADownloadStartedAgainReplacesTheFirst)
{
    const FirmwareSite site(xzCompress(signedContainer(sampleSpec())));
    ::testing::internal::CaptureStdout();
    fLoading->StartDownload();
    fLoading->StartDownload();
    const bool verified = runUntilVerified(fClock, fRecorder);
    ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(verified);
    ASSERT_TRUE(site.images.waitForRequests(1, 20000));
    CoreFoundationTesting::runUntilIdle();
    EXPECT_EQ(fRecorder.calls,
              (std::vector<std::string>{"file firmware.vork.example", "dropped", "file firmware.vork.example",
                                        "dropped", "verified wrenlet-1.1.0.image 1.1.0:1.0"}));
    EXPECT_EQ(site.images.log().size(), 1u);
}

TEST_F(FirmwareFileLoadingTest, AFileReplacedBeforeItsUnpackingIsNeverOffered)
{
    fFolder.write("first.image", xzCompress(signedContainer(sampleSpec())));
    fLoading->SetFirmwareFile(fFolder.path("first.image"));
    fFolder.write("second.image", xzCompress(signedContainer(sampleSpec())));
    fLoading->SetFirmwareFile(fFolder.path("second.image"));
    CoreFoundationTesting::advanceAndRun(fClock, 5ms);
    EXPECT_EQ(fRecorder.calls,
              (std::vector<std::string>{"dropped", "dropped", "verified second.image 1.1.0:1.0"}));
}

} // namespace
