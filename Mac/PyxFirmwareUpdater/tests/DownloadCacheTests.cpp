// The firmware server side of the updater against the loopback server: the version reply cut by
// substring search, the cache that asks once and keeps what came, and the server-backed source.

#include "PyxUpdaterSupport.h"

#include <DownloadCache.h>
#include <Downloader.h>
#include <JsonData.h>

#include <FoundationTesting/URLLoading.h>
#include <SimNetwork/FirmwareServer.h>
#include <SimNetwork/PyxFirmwareRoutes.h>

#include <nlohmann/json.hpp>

#include <future>
#include <random>

using namespace PyxUpdaterTests;
using SimNetwork::FirmwareServer;
namespace Routes = SimNetwork::PyxRoutes;

namespace {

// Keys in any order, some missing, beside others the updater does not read.
TEST(JsonData, AgreesWithAParserWhateverTheKeysOrderAndPresence)
{
    std::mt19937 random(23);
    const std::string letters = "abcXYZ019.+-_/:";
    auto text = [&] {
        std::string value;
        for (size_t length = random() % 20; length > 0; --length)
            value += letters[random() % letters.size()];
        return value;
    };
    for (int round = 0; round < 300; ++round) {
        nlohmann::ordered_json reply;
        std::vector<std::string> keys{"version", "image", "notes", "size"};
        std::shuffle(keys.begin(), keys.end(), random);
        for (const auto& key : keys)
            if (random() % 4 != 0)
                reply[key] = key == "size" ? nlohmann::ordered_json(random() % 100000)
                                           : nlohmann::ordered_json(text());
        // One blank after each colon, as the server writes it.
        const std::string body = reply.dump(1, ' ');
        const JsonData data(body);
        EXPECT_EQ(data.version, reply.value("version", "")) << body;
        EXPECT_EQ(data.image, reply.value("image", "")) << body;
    }
}

// A loopback firmware server under the compiled-in host, and a cache of the test's own.
class ServerTest : public testing::Test
{
protected:
    void SetUp() override { FoundationTesting::mapHost(Routes::kHost, 80, fServer.port()); }
    void TearDown() override { FoundationTesting::resetURLLoading(); }

    std::unique_ptr<DownloadCache> makeCache()
    {
        return std::make_unique<DownloadCache>(std::string("http://") + Routes::kHost + Routes::kVersionPath);
    }
    void offer(const std::vector<uint8_t>& image) { Routes::offer(fServer, "1.1.0", image); }
    // The paths the server was asked for, once every request has ended.
    std::vector<std::string> paths(size_t expected)
    {
        EXPECT_TRUE(fServer.waitForRequests(expected, 30000));
        std::vector<std::string> result;
        for (const auto& request : fServer.log())
            result.push_back(request.path);
        return result;
    }
    // Asks for the run image and waits for the answer.
    DownloadCache::ImageResult runImageOf(DownloadCache& cache)
    {
        std::optional<DownloadCache::ImageResult> result;
        cache.acquireRunImageAsync([&](DownloadCache::ImageResult answer) { result = answer; });
        EXPECT_TRUE(runUntil([&] { return result.has_value(); }));
        return result.value_or(DownloadError::NoInternet{});
    }
    static std::string describe(const DownloadCache::ImageResult& result)
    {
        if (const auto* error = std::get_if<DownloadError>(&result))
            return error->getDescription().utf8_str();
        const auto& image = std::get<DownloadCache::Image>(result);
        return image ? "image of " + std::to_string(image->size()) : "no image";
    }

    FirmwareServer fServer;
};

TEST_F(ServerTest, EarlyCallersAreAnsweredOnceInOrderAndALaterOneAtOnce)
{
    offer(runImage(3000));
    auto cache = makeCache();
    std::vector<int> answered;
    for (int caller : {1, 2})
        cache->getJsonDataAsync([&, caller](DownloadCache::JsonResult result) {
            EXPECT_EQ(std::get<JsonData>(result).version, "1.1.0");
            answered.push_back(caller);
        });
    ASSERT_TRUE(runUntil([&] { return answered.size() == 2; }));
    cache->getJsonDataAsync([&](DownloadCache::JsonResult) { answered.push_back(3); });
    EXPECT_EQ(answered, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(cache->getJsonData()->image, Routes::imageAddress("pyx.update"));
    EXPECT_EQ(paths(1), std::vector<std::string>{Routes::kVersionPath});
}

TEST_F(ServerTest, VersionErrorAnswersEveryWaiterAndTheRunImageWithoutASecondRequest)
{
    fServer.setRoute(Routes::kVersionPath, {{.status = 404, .body = "gone"}});
    auto cache = makeCache();
    std::vector<std::string> answers;
    for (int caller = 0; caller < 2; ++caller)
        cache->getJsonDataAsync([&](DownloadCache::JsonResult result) {
            answers.push_back(std::get<DownloadError>(result).getDescription().utf8_str());
        });
    EXPECT_EQ(describe(runImageOf(*cache)), "HTTP server status 404");
    EXPECT_EQ(answers, (std::vector<std::string>(2, "HTTP server status 404")));
    EXPECT_EQ(describe(runImageOf(*cache)), "HTTP server status 404");
    EXPECT_FALSE(cache->getJsonData());
    EXPECT_FALSE(cache->getRunImage());
    EXPECT_EQ(paths(1), std::vector<std::string>{Routes::kVersionPath});
}

TEST_F(ServerTest, VersionRepliesAnswerByStatusAndMarkers)
{
    const std::string address = Routes::imageAddress("pyx.update");
    offer(runImage(2048));
    const struct
    {
        const char* name;
        FirmwareServer::Reply reply;
        std::string version;
        std::string image;
    } rows[] = {
        {"normal", {.body = Routes::versionReply("1.1.0", address)}, "1.1.0", "image of 2048"},
        {"no blank after the colon",
         {.body = R"({"version":"1.1.0", "image":")" + address + R"("})"},
         "",
         "No internet connection"},
        {"a key twice",
         {.body = R"({"version": "1.1.0", "version": "9.9.9", "image": ")" + address + R"("})"},
         "1.1.0",
         "image of 2048"},
        {"no image", {.body = R"({"version": "1.1.0"})"}, "1.1.0", "No internet connection"},
        {"204 with an empty body", {.status = 204}, "", "No internet connection"},
        {"404", {.status = 404}, "HTTP server status 404", "HTTP server status 404"},
        {"500", {.status = 500, .body = "oops"}, "HTTP server status 500", "HTTP server status 500"},
    };
    for (const auto& row : rows) {
        fServer.setRoute(Routes::kVersionPath, {row.reply});
        auto cache = makeCache();
        const auto image = describe(runImageOf(*cache));
        std::string version;
        cache->getJsonDataAsync([&](DownloadCache::JsonResult result) {
            if (const auto* error = std::get_if<DownloadError>(&result))
                version = error->getDescription().utf8_str();
            else
                version = std::get<JsonData>(result).version;
        });
        EXPECT_EQ(version, row.version) << row.name;
        EXPECT_EQ(image, row.image) << row.name;
    }
}

TEST_F(ServerTest, NoResponseIsNoInternet)
{
    fServer.setRoute(Routes::kVersionPath, {{.closeWithoutStatus = true}});
    const uint16_t refused = Routes::closedPort();
    for (const uint16_t port : {fServer.port(), refused}) {
        FoundationTesting::mapHost(Routes::kHost, 80, port);
        auto cache = makeCache();
        EXPECT_EQ(describe(runImageOf(*cache)), "No internet connection") << port;
    }
}

TEST_F(ServerTest, RunImageAnswersByWhatTheServerSent)
{
    const auto image = runImage(3000);
    const std::string body(image.begin(), image.end());
    const std::string address = Routes::imageAddress("pyx.update");
    const struct
    {
        const char* name;
        FirmwareServer::Reply reply;
        std::string expected;
    } rows[] = {
        {"plain", {.body = body}, "image of 3000"},
        {"chunked", {.body = body, .chunked = true}, "image of 3000"},
        {"throttled", {.body = body, .throttleBytes = 1000, .throttleMilliseconds = 5}, "image of 3000"},
        {"empty", {.body = ""}, "image of 0"},
        {"missing", {.status = 404}, "HTTP server status 404"},
        {"server error", {.status = 500, .body = "oops"}, "HTTP server status 500"},
        // A body cut short is no image, however complete it looks.
        {"truncated", {.body = body.substr(0, 1500), .declaredLength = 3000}, "No internet connection"},
        {"over the limit, announced",
         {.body = "x", .declaredLength = USBUpdater::kImageSizeLimit},
         "No internet connection"},
        {"over the limit, streamed",
         {.body = body, .streamWithoutLength = USBUpdater::kImageSizeLimit + 1024, .chunked = true},
         "No internet connection"},
    };
    for (const auto& row : rows) {
        fServer.setRoute(Routes::kVersionPath, {{.body = Routes::versionReply("1.1.0", address)}});
        fServer.setRoute(Routes::imagePath("pyx.update"), {row.reply});
        auto cache = makeCache();
        const auto result = runImageOf(*cache);
        EXPECT_EQ(describe(result), row.expected) << row.name;
        if (row.expected == "image of 3000") {
            EXPECT_EQ(*cache->getRunImage(), image) << row.name;
        }
        if (row.expected == "No internet connection") {
            EXPECT_FALSE(cache->getRunImage()) << row.name;
        }
    }
}

TEST_F(ServerTest, ImageAddressesThatAreNotWebAddressesAreNeverAsked)
{
    for (const std::string address : {"", "file:///etc/passwd", "ftp://firmware.vork.example/fw/pyx.update",
                                      "http://[broken", "not an address"}) {
        fServer.setRoute(Routes::kVersionPath, {{.body = Routes::versionReply("1.1.0", address)}});
        auto cache = makeCache();
        EXPECT_EQ(describe(runImageOf(*cache)), "No internet connection") << address;
    }
    for (const auto& path : paths(5))
        EXPECT_EQ(path, Routes::kVersionPath);
}

TEST_F(ServerTest, ARedirectIsFollowed)
{
    const auto image = runImage(2048);
    offer(image);
    fServer.setRoute(Routes::imagePath("old.update"),
                     {{.status = 302, .headers = {{"Location", Routes::imagePath("pyx.update")}}}});
    fServer.setRoute(Routes::kVersionPath,
                     {{.body = Routes::versionReply("1.1.0", Routes::imageAddress("old.update"))}});
    auto cache = makeCache();
    EXPECT_EQ(describe(runImageOf(*cache)), "image of 2048");
    EXPECT_EQ(paths(3), (std::vector<std::string>{Routes::kVersionPath, Routes::imagePath("old.update"),
                                                  Routes::imagePath("pyx.update")}));
}

TEST_F(ServerTest, ARequestDuringTheDownloadJoinsItAndALaterOneIsAnsweredAtOnce)
{
    const auto image = runImage(8000);
    offer(image);
    fServer.setRoute(Routes::imagePath("pyx.update"),
                     {{.body = std::string(image.begin(), image.end()), .throttleBytes = 2000}});
    auto cache = makeCache();
    unsigned long long done = 7;
    unsigned long long total = 7;
    EXPECT_FALSE(cache->getRunImageProgress(done, total));
    std::vector<int> answered;
    for (int caller : {1, 2})
        cache->acquireRunImageAsync([&, caller](DownloadCache::ImageResult result) {
            EXPECT_EQ(*std::get<DownloadCache::Image>(result), image);
            answered.push_back(caller);
        });
    ASSERT_TRUE(runUntil([&] { return cache->getRunImageProgress(done, total) && done > 0; }));
    EXPECT_EQ(total, image.size());
    cache->acquireRunImageAsync([&](DownloadCache::ImageResult) { answered.push_back(3); });
    ASSERT_TRUE(runUntil([&] { return answered.size() == 3; }));
    EXPECT_EQ(answered, (std::vector<int>{1, 2, 3}));
    cache->acquireRunImageAsync([&](DownloadCache::ImageResult) { answered.push_back(4); });
    EXPECT_EQ(answered.size(), 4u);
    EXPECT_EQ(paths(2).size(), 2u);
}

TEST_F(ServerTest, ProgressIsZeroOfOneBeforeTheResponseAndOfZeroWhileTheLengthIsUnknown)
{
    fServer.setRoute("/silent", {{.silent = true}});
    fServer.setRoute("/slow", {{.body = std::string(4000, 'x'), .chunked = true, .throttleBytes = 1000}});
    unsigned long long done = 9;
    unsigned long long total = 9;
    {
        DownloaderImpl waiting(
            std::string("http://") + Routes::kHost + "/silent", [](DownloadResult) {}, 1 << 20);
        ASSERT_TRUE(DarwinTesting::eventually([&] { return !fServer.log().empty(); }));
        waiting.getProgress(done, total);
        EXPECT_EQ(std::pair(done, total), std::pair(0ull, 1ull));
    }
    std::promise<void> finished;
    DownloaderImpl download(
        std::string("http://") + Routes::kHost + "/slow", [&](DownloadResult) { finished.set_value(); },
        1 << 20);
    ASSERT_TRUE(DarwinTesting::eventually([&] {
        download.getProgress(done, total);
        return done > 0;
    }));
    EXPECT_EQ(total, 0u);
    finished.get_future().wait();
    download.getProgress(done, total);
    EXPECT_EQ(std::pair(done, total), std::pair(4000ull, 0ull));
}

TEST_F(ServerTest, ADownloaderDestroyedWhileTheServerStallsWaitsForItsCompletionAndDropsIt)
{
    fServer.setRoute("/stall", {{.silent = true}});
    DownloadCache::Dispatcher dispatcher([](const DownloadCache::Message& message) { message(); });
    bool called = false;
    auto downloader = std::make_unique<Downloader<DownloadCache::Dispatcher>>(
        &dispatcher, std::string("http://") + Routes::kHost + "/stall",
        [&](DownloadResult) { called = true; }, 1 << 20);
    ASSERT_TRUE(DarwinTesting::eventually([&] { return !fServer.log().empty(); }));
    downloader.reset();
    for (int turn = 0; turn < 20; ++turn)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.001, true);
    EXPECT_FALSE(called);
}

// Downloads ended at every stage, from many threads' point of view: each answer is delivered at
// most once, only to a downloader that lives, and none is lost for one that waits.
TEST_F(ServerTest, DownloadersDestroyedAtAnyStageStress)
{
    fServer.setRoute("/small", {{.body = std::string(3000, 's')}});
    fServer.setRoute("/slow",
                     {{.body = std::string(3000, 'x'), .throttleBytes = 500, .throttleMilliseconds = 1}});
    DownloadCache::Dispatcher dispatcher([](const DownloadCache::Message& message) { message(); });
    std::mt19937 random(5);
    for (int round = 0; round < 60; ++round) {
        const std::string path = round % 2 ? "/slow" : "/small";
        int answers = 0;
        auto downloader = std::make_unique<Downloader<DownloadCache::Dispatcher>>(
            &dispatcher, std::string("http://") + Routes::kHost + path, [&](DownloadResult) { ++answers; },
            1 << 20);
        switch (random() % 3) {
        case 0:
            break;
        case 1:
            for (unsigned turn = random() % 20; turn > 0; --turn)
                CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.0005, true);
            break;
        default:
            ASSERT_TRUE(runUntil([&] { return answers > 0; }));
            break;
        }
        const int before = answers;
        downloader.reset();
        for (int turn = 0; turn < 5; ++turn)
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.0005, true);
        EXPECT_LE(answers, 1);
        EXPECT_EQ(answers, before);
    }
}

// The server-backed source.
class ServerSourceTest : public ServerTest
{
protected:
    std::shared_ptr<UpdateSource> makeSource()
    {
        return std::make_shared<UpdateSource>(VorkDownload{}, fCache.get());
    }

    std::unique_ptr<DownloadCache> fCache;
};

TEST_F(ServerSourceTest, TwoCallersAreAnsweredInOrderAfterOneDownloadAndAnAcquiredSourceAtOnce)
{
    const auto image = runImage(3000, 1);
    offer(image);
    fCache = makeCache();
    auto source = makeSource();
    unsigned long long done = 5;
    unsigned long long total = 5;
    source->getAcquireProgress(done, total);
    EXPECT_EQ(std::pair(done, total), std::pair(0ull, 1ull));
    std::vector<int> answered;
    for (int caller : {1, 2})
        source->acquire([&, caller](UpdateSource* answering, std::optional<AcquisitionError> error) {
            EXPECT_EQ(answering, source.get());
            EXPECT_FALSE(error);
            answered.push_back(caller);
        });
    ASSERT_TRUE(runUntil([&] { return answered.size() == 2; }));
    EXPECT_EQ(answered, (std::vector<int>{1, 2}));
    source->acquire([&](UpdateSource*, std::optional<AcquisitionError>) { answered.push_back(3); });
    EXPECT_EQ(answered.size(), 3u);
    EXPECT_EQ(*source->runImage(), image);
    EXPECT_EQ(source->getVersionInfo(), "1.1.0");
    // A fresh source takes the kept image without another request.
    auto second = makeSource();
    second->acquire([&](UpdateSource*, std::optional<AcquisitionError>) { answered.push_back(4); });
    EXPECT_EQ(answered.size(), 4u);
    EXPECT_EQ(second->runImage(), source->runImage());
    EXPECT_EQ(paths(2).size(), 2u);
}

TEST_F(ServerSourceTest, ServerErrorsReachEveryWaiterAndLeaveTheSourceNotAcquired)
{
    fServer.setRoute(Routes::kVersionPath, {{.status = 500}});
    fCache = makeCache();
    auto source = makeSource();
    std::vector<std::string> errors;
    source->acquireVersionInfo([&](UpdateSource*, std::optional<AcquisitionError> error) {
        errors.push_back(error->getDescription().utf8_str());
    });
    source->acquire([&](UpdateSource*, std::optional<AcquisitionError> error) {
        errors.push_back(error->getDescription().utf8_str());
    });
    ASSERT_TRUE(runUntil([&] { return errors.size() == 2; }));
    EXPECT_EQ(errors, std::vector<std::string>(2, "HTTP server status 500"));
    EXPECT_EQ(source->acquireState(), UpdateSource::NotAcquired);
    EXPECT_EQ(source->getVersionInfo(), "");
}

TEST_F(ServerSourceTest, AnswersForADestroyedSourceAreDropped)
{
    const auto image = runImage(3000);
    offer(image);
    // Slow enough that both answers arrive after the sources are gone.
    fServer.setRoute(Routes::kVersionPath,
                     {{.body = Routes::versionReply("1.1.0", Routes::imageAddress("pyx.update")),
                       .throttleBytes = 8,
                       .throttleMilliseconds = 5}});
    fCache = makeCache();
    bool called = false;
    {
        auto versionAsker = makeSource();
        versionAsker->acquireVersionInfo(
            [&](UpdateSource*, std::optional<AcquisitionError>) { called = true; });
        auto imageAsker = makeSource();
        imageAsker->acquire([&](UpdateSource*, std::optional<AcquisitionError>) { called = true; });
    }
    ASSERT_TRUE(runUntil([&] { return fCache->getRunImage() != nullptr; }));
    EXPECT_FALSE(called);
}

} // namespace
