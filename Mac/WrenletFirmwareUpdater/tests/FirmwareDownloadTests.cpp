// The download of the current firmware against the firmware server model, on the real clock.
#include "DownloadFirmwareFile.h"

#include <FoundationTesting/URLLoading.h>
#include <SimNetwork/FirmwareServer.h>

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

using SimNetwork::FirmwareServer;

namespace {

const std::string kInfoPath = "/api/device/wrenlet-k/firmware";
const std::string kImageURL = "https://firmware.vork.example/images/wrenlet-1.1.0.xz";
const std::string kImagePath = "/images/wrenlet-1.1.0.xz";

struct LoadedFiles : FirmwareFile::Client
{
    void FirmwareFileLoaded(FirmwareFile& file) override
    {
        ++count;
        bytes = file.RawBytes();
        name = file.FileName();
    }
    int count = 0;
    std::vector<uint8_t> bytes;
    std::string name;
};

// Runs the main queue until the condition holds; false at the deadline.
bool runMainUntil(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);
    }
    return true;
}

std::string image(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = char(i * 11 + 5);
    }
    return bytes;
}

class FirmwareDownloadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FoundationTesting::resetURLLoading();
        FoundationTesting::mapHost("firmware.vork.example", 80, fPlain.port());
        FoundationTesting::mapHost("firmware.vork.example", 443, fSecure.port());
        FoundationTesting::mapHost("other.vork.example", 443, fWrongName.port());
        FoundationTesting::trustCertificateAuthority(fAuthority.certificatePem);
        FoundationTesting::setDefaultRequestTimeout(1);
        fPlain.setRoute(kInfoPath, {{.body = R"([{"image":")" + kImageURL + R"("}])"}});
        fSecure.setRoute(kImagePath, {{.body = fImage}});
    }
    void TearDown() override { FoundationTesting::resetURLLoading(); }

    // Runs a download to its end; returns what it printed.
    std::string download()
    {
        ::testing::internal::CaptureStdout();
        const auto file = DownloadFirmwareFile::Create(fClient);
        EXPECT_TRUE(runMainUntil([&] { return file->Finished(); }));
        return ::testing::internal::GetCapturedStdout();
    }

    SimNetwork::CertificateAuthority fAuthority = SimNetwork::makeCertificateAuthority("Loopback Authority");
    FirmwareServer fPlain;
    FirmwareServer fSecure{SimNetwork::makeServerCertificate(fAuthority, "firmware.vork.example")};
    FirmwareServer fWrongName{SimNetwork::makeServerCertificate(fAuthority, "firmware.vork.example.other")};
    const std::string fImage = image(300000);
    std::shared_ptr<LoadedFiles> fClient = std::make_shared<LoadedFiles>();
};

TEST_F(FirmwareDownloadTest, TheImageTheInfoNamesIsLoaded)
{
    const std::string printed = download();
    EXPECT_EQ(fClient->count, 1);
    EXPECT_EQ(std::string(fClient->bytes.begin(), fClient->bytes.end()), fImage);
    EXPECT_EQ(fClient->name, "wrenlet-1.1.0.xz");
    EXPECT_EQ(printed, "DownloadFileComplete Status: 200 Length: 300000\n");
    ASSERT_EQ(fPlain.log().size(), 1u);
    EXPECT_EQ(fPlain.log()[0].host, "firmware.vork.example");
}

TEST_F(FirmwareDownloadTest, InfoDocumentsThatNameNoImageAreIgnored)
{
    const struct
    {
        const char* name;
        FirmwareServer::Reply reply;
    } rows[] = {
        {"404", {.status = 404, .body = R"([{"image":")" + kImageURL + R"("}])"}},
        {"500", {.status = 500}},
        {"empty body", {.body = ""}},
        {"not JSON", {.body = "image: yes"}},
        {"an object", {.body = R"({"image":")" + kImageURL + R"("})"}},
        {"an empty array", {.body = "[]"}},
        {"a first element that is no object", {.body = R"(["x", {"image":")" + kImageURL + R"("}])"}},
        {"no image", {.body = R"([{"file":")" + kImageURL + R"("}])"}},
        {"a number", {.body = R"([{"image":5}])"}},
        {"plain http", {.body = R"([{"image":"http://firmware.vork.example/images/wrenlet-1.1.0.xz"}])"}},
        {"over 65,536 bytes",
         {.body = R"([{"image":")" + kImageURL + R"(","pad":")" + std::string(70000, 'x') + R"("}])"}},
    };
    for (const auto& row : rows) {
        FirmwareServer plain;
        plain.setRoute(kInfoPath, {row.reply});
        FoundationTesting::resetURLLoading();
        FoundationTesting::mapHost("firmware.vork.example", 80, plain.port());
        FoundationTesting::mapHost("firmware.vork.example", 443, fSecure.port());
        FoundationTesting::trustCertificateAuthority(fAuthority.certificatePem);
        EXPECT_EQ(download(), "") << row.name;
        EXPECT_EQ(fClient->count, 0) << row.name;
        EXPECT_EQ(plain.log().size(), 1u) << row.name;
    }
    EXPECT_TRUE(fSecure.log().empty());
}

TEST_F(FirmwareDownloadTest, ImageReplies)
{
    const struct
    {
        const char* name;
        FirmwareServer::Reply reply;
        int loadedStatus; // 0: not loaded
    } rows[] = {
        {"200", {.body = fImage}, 200},
        {"404 with the image as body", {.status = 404, .body = fImage}, 404},
        {"https to https",
         {.status = 302, .headers = {{"Location", "https://firmware.vork.example/images/moved.xz"}}},
         200},
        {"https to http",
         {.status = 301, .headers = {{"Location", "http://firmware.vork.example/images/plain.xz"}}},
         0},
        {"to another scheme",
         {.status = 307, .headers = {{"Location", "ftp://firmware.vork.example/images/x.xz"}}},
         0},
        {"a truncated body", {.body = fImage, .declaredLength = fImage.size() + 10}, 0},
        {"a declared 2,000,001 bytes", {.body = fImage, .declaredLength = 2000001}, 0},
        {"past 2,000,000 bytes without a length",
         {.body = fImage, .streamWithoutLength = uint64_t(64) << 20},
         0},
        {"a server that never answers", {.silent = true}, 0},
    };
    fSecure.setRoute("/images/moved.xz", {{.body = fImage}});
    FoundationTesting::mapHost("firmware.vork.example", 80, fPlain.port());
    fPlain.setRoute("/images/plain.xz", {{.body = fImage}});
    for (const auto& row : rows) {
        fClient = std::make_shared<LoadedFiles>();
        fSecure.setRoute(kImagePath, {row.reply});
        const size_t plainBefore = fPlain.log().size();
        const std::string printed = download();
        EXPECT_EQ(fClient->count, row.loadedStatus != 0 ? 1 : 0) << row.name;
        const std::string completion = "DownloadFileComplete Status: " + std::to_string(row.loadedStatus) +
                                       " Length: " + std::to_string(fImage.size()) + "\n";
        EXPECT_EQ(printed, row.loadedStatus != 0 ? completion : "") << row.name;
        // The info document only: nothing went to the plain image.
        EXPECT_EQ(fPlain.log().size(), plainBefore + 1) << row.name;
    }
    // Every reply finished on the server's side, the endless one cut short by the client.
    ASSERT_TRUE(fSecure.waitForRequests(fSecure.log().size(), 20000));
    const auto log = fSecure.log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const auto& r) { return r.clientClosedEarly; }));
}

TEST_F(FirmwareDownloadTest, CertificatesThatDoNotProveTheServerAreRefused)
{
    const auto stranger = SimNetwork::makeCertificateAuthority("Unknown Authority");
    FirmwareServer untrusted(SimNetwork::makeServerCertificate(stranger, "firmware.vork.example"));
    untrusted.setRoute(kImagePath, {{.body = fImage}});
    FirmwareServer wrongName(SimNetwork::makeServerCertificate(fAuthority, "another.vork.example"));
    wrongName.setRoute(kImagePath, {{.body = fImage}});
    for (const FirmwareServer* server : {&untrusted, &wrongName}) {
        FoundationTesting::resetURLLoading();
        FoundationTesting::mapHost("firmware.vork.example", 80, fPlain.port());
        FoundationTesting::mapHost("firmware.vork.example", 443, server->port());
        FoundationTesting::trustCertificateAuthority(fAuthority.certificatePem);
        EXPECT_EQ(download(), "");
        EXPECT_EQ(fClient->count, 0);
    }
}

TEST_F(FirmwareDownloadTest, OnlyTheNewestDownloadActs)
{
    // The info document of the first answers late; the second replaces it meanwhile.
    fPlain.setRoute(kInfoPath, {{.silent = true}, {.body = R"([{"image":")" + kImageURL + R"("}])"}});
    auto first = DownloadFirmwareFile::Create(fClient);
    ASSERT_TRUE(runMainUntil([&] { return !fPlain.log().empty(); }));
    auto second = DownloadFirmwareFile::Create(fClient);
    first.reset();
    ASSERT_TRUE(runMainUntil([&] { return second->Finished(); }));
    EXPECT_EQ(fClient->count, 1);

    // Replaced while the image is on its way.
    fClient = std::make_shared<LoadedFiles>();
    fSecure.setRoute(kImagePath, {{.silent = true}, {.body = fImage}});
    fPlain.setRoute(kInfoPath, {{.body = R"([{"image":")" + kImageURL + R"("}])"}});
    const size_t before = fSecure.log().size();
    auto during = DownloadFirmwareFile::Create(fClient);
    ASSERT_TRUE(runMainUntil([&] { return fSecure.log().size() > before; }));
    auto after = DownloadFirmwareFile::Create(fClient);
    during.reset();
    ASSERT_TRUE(runMainUntil([&] { return after->Finished(); }));
    EXPECT_EQ(fClient->count, 1);
}

} // namespace
