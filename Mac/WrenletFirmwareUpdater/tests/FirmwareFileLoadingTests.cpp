// The file side of the updater: local files and downloads loaded, unpacked 1 ms later, and offered or
// refused with the window's texts.
#include "ContainerFiles.h"
#include "FirmwareFileLoading.h"

#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/ManualClock.h>
#include <FoundationTesting/URLLoading.h>
#include <SimNetwork/FirmwareServer.h>

#include <gtest/gtest.h>

#include <chrono>
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

TEST_F(FirmwareFileLoadingTest, ADownloadShowsTheServerThenOffersTheImage)
{
    SimNetwork::FirmwareServer info;
    const auto authority = SimNetwork::makeCertificateAuthority("Loopback Authority");
    SimNetwork::FirmwareServer images(SimNetwork::makeServerCertificate(authority, "firmware.vork.example"));
    info.setRoute("/api/device/wrenlet-k/firmware",
                  {{.body = R"([{"image":"https://firmware.vork.example/images/wrenlet-1.1.0.image"}])"}});
    const Bytes file = xzCompress(signedContainer(sampleSpec()));
    images.setRoute("/images/wrenlet-1.1.0.image", {{.body = std::string(file.begin(), file.end())}});
    FoundationTesting::mapHost("firmware.vork.example", 80, info.port());
    FoundationTesting::mapHost("firmware.vork.example", 443, images.port());
    FoundationTesting::trustCertificateAuthority(authority.certificatePem);

    ::testing::internal::CaptureStdout();
    fLoading->StartDownload();
    EXPECT_EQ(fRecorder.fileLabel, "firmware.vork.example");
    // The transfer runs on real time; the unpacking waits for the manual clock.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!fRecorder.verified && std::chrono::steady_clock::now() < deadline) {
        CoreFoundationTesting::advanceAndRun(fClock, 1ms);
        std::this_thread::sleep_for(1ms);
    }
    ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(fRecorder.verified);
    EXPECT_EQ(fRecorder.calls.back(), "verified wrenlet-1.1.0.image 1.1.0:1.0");

    // Clear File: the download starts again, a new info request on the server.
    fLoading->StartDownload();
    EXPECT_FALSE(fRecorder.verified);
    EXPECT_EQ(fRecorder.fileLabel, "firmware.vork.example");
    ASSERT_TRUE(info.waitForRequests(2, 20000));
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
