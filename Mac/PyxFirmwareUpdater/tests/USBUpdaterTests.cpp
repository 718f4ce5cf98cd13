// The engine against a simulated Pyx in recovery mode, judged by the device's request log, the
// engine's events and what the device stores.

#include "PyxUpdaterSupport.h"

#include <IOKitTesting/USBDevices.h>

#include <functional>
#include <future>

using namespace PyxUpdaterTests;

namespace {

constexpr uint8_t kPort = 12;

struct EngineCase
{
    const char* name;
    // The device's stored image, when it holds one.
    std::function<std::optional<std::vector<uint8_t>>(const std::vector<uint8_t>& image)> stored;
    size_t imageSize;
    std::function<void(Pyx::PyxUnit&)> knobs;
    // The short request log, or its beginning when it ends in "...".
    std::string log;
    size_t result;
    bool storesImage;
};

void PrintTo(const EngineCase& c, std::ostream* out)
{
    *out << c.name;
}

std::optional<std::vector<uint8_t>> blank(const std::vector<uint8_t>&)
{
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> same(const std::vector<uint8_t>& image)
{
    return image;
}

void none(Pyx::PyxUnit&) {}

std::string repeat(const std::string& text, int count)
{
    std::string result;
    for (int i = 0; i < count; ++i)
        result += (i ? " " : "") + text;
    return result;
}

constexpr size_t kSuccess = 0;
constexpr size_t kIOFailed = 1;
constexpr size_t kVerifyFailed = 3;
constexpr size_t kNoRunImage = 4;

class EngineTest : public testing::Test, public RecordingDelegate
{
protected:
    void SetUp() override
    {
        fEngine = &engine;
        pyx.unit().holdBack(true);
    }
    void TearDown() override { pyx.close(); }

    // Runs one update from `source` to its end, the knobs set once the device is connected.
    void update(std::shared_ptr<UpdateSource> source, const std::function<void(Pyx::PyxUnit&)>& knobs = none)
    {
        engine.setUpdateSource(source);
        engine.DeviceConnected(device ? device : device = pyx.open());
        fLogStart = pyx.unit().requestLog().size();
        fRequestStart = fScript.deviceRequestThreads(kPort).size();
        knobs(pyx.unit());
        ASSERT_TRUE(engine.Update());
        ASSERT_TRUE(runUntil([&] { return finishedCount() > 0 && engine.isIdle(); }));
    }

    // Events in the order the engine promises, exactly one Finished, last.
    void expectEventOrder()
    {
        const auto all = events();
        ASSERT_FALSE(all.empty());
        EXPECT_EQ(all.front(), USBUpdater::Started);
        EXPECT_EQ(all.back(), USBUpdater::Finished);
        EXPECT_EQ(finishedCount(), 1);
        const auto rebooting = std::find(all.begin(), all.end(), USBUpdater::Rebooting);
        for (auto event = all.begin() + 1; event != all.end() - 1; ++event) {
            if (event != rebooting) {
                EXPECT_EQ(*event, USBUpdater::Progress);
            }
        }
        EXPECT_EQ(pyx.unit().overlappingRequests(), 0u);
        // Every request of the update on one thread, the pump, and never two at once.
        const auto threads = fScript.deviceRequestThreads(kPort);
        for (size_t i = fRequestStart; i < threads.size(); ++i) {
            EXPECT_EQ(threads[i], threads[fRequestStart]);
            EXPECT_NE(threads[i], std::this_thread::get_id());
        }
        EXPECT_LE(fScript.mostDeviceRequestsAtOnce(kPort), 1);
    }

    // The update's requests in short.
    std::string updateLog() const
    {
        const auto log = pyx.unit().requestLog();
        return shortLog({log.begin() + ptrdiff_t(fLogStart), log.end()});
    }

    IOKitTesting::USBDeviceScript fScript;
    size_t fLogStart = 0;
    size_t fRequestStart = 0;
    OpenedPyx pyx{kPort};
    USBUpdater engine{*this};
    std::shared_ptr<UpdateDevice> device;
};

class EngineTable : public EngineTest, public testing::WithParamInterface<EngineCase>
{};

} // namespace

TEST_P(EngineTable, RequestsResultAndStoredImage)
{
    const EngineCase& c = GetParam();
    const auto image = runImage(c.imageSize);
    if (const auto stored = c.stored(image))
        pyx.unit().installImage(*stored);
    update(sourceOf(image), c.knobs);
    const std::string log = updateLog();
    if (c.log.ends_with("...")) {
        EXPECT_EQ(log.substr(0, c.log.size() - 3), c.log.substr(0, c.log.size() - 3));
    } else {
        EXPECT_EQ(log, c.log);
    }
    ASSERT_TRUE(engine.result());
    EXPECT_EQ(engine.result()->index(), c.result);
    if (c.storesImage) {
        EXPECT_EQ(pyx.unit().storedImage(), image);
    }
    if (c.result != kSuccess) {
        EXPECT_EQ(log.find('R'), std::string::npos);
    }
    expectEventOrder();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EngineTable,
    testing::Values(
        EngineCase{"Holds3000", same, 3000, none, "U1024 U1024 U952 R", kSuccess, true},
        EngineCase{"Holds2048", same, 2048, none, "U1024 U1024 U0 R", kSuccess, true},
        EngineCase{"DiffersInBlock5",
                   [](const std::vector<uint8_t>& image) -> std::optional<std::vector<uint8_t>> {
                       auto stored = image;
                       stored[5 * 1024 + 10] ^= 0xFF;
                       return stored;
                   },
                   8000, none, repeat("U1024", 6) + " D1024 S D1024...", kSuccess, true},
        EngineCase{"Blank3000", blank, 3000, none, "U0 D1024 S D1024 S D952 S U1024 U1024 U952 R", kSuccess,
                   true},
        EngineCase{"Blank2048", blank, 2048, none, "U0 D1024 S D1024 S D0 S U1024 U1024 U0 R", kSuccess,
                   true},
        EngineCase{"ThreeBusyPolls", blank, 2000, [](Pyx::PyxUnit& unit) { unit.setBusyPolls(3); },
                   "U0 D1024 " + repeat("S", 4) + " D976 " + repeat("S", 4) + " U1024 U976 R", kSuccess,
                   true},
        EngineCase{"CompareFails", same, 3000,
                   [](Pyx::PyxUnit& unit) {
                       unit.failNext(Pyx::RequestKind::Upload, 1, Pyx::PyxUnit::Failure::Stall);
                   },
                   "U0", kIOFailed, false},
        EngineCase{"DownloadFails", blank, 3000,
                   [](Pyx::PyxUnit& unit) {
                       unit.failNext(Pyx::RequestKind::Download, 1, Pyx::PyxUnit::Failure::Stall);
                   },
                   "U0 D1024", kIOFailed, false},
        EngineCase{"StatusFails", blank, 3000,
                   [](Pyx::PyxUnit& unit) {
                       unit.failNext(Pyx::RequestKind::GetStatus, 1, Pyx::PyxUnit::Failure::Stall);
                   },
                   "U0 D1024 S", kIOFailed, false},
        EngineCase{"RebootRequestFails", same, 3000,
                   [](Pyx::PyxUnit& unit) {
                       unit.failNext(Pyx::RequestKind::RebootToApplication, 1, Pyx::PyxUnit::Failure::Stall);
                   },
                   "U1024 U1024 U952 R", kSuccess, true},
        EngineCase{"DetachBeforeRebootAck", same, 3000,
                   [](Pyx::PyxUnit& unit) { unit.setDetachBeforeRebootAck(true); }, "U1024 U1024 U952 R",
                   kSuccess, true},
        EngineCase{"DifferingVerifyBlock", blank, 3000,
                   [](Pyx::PyxUnit& unit) { unit.corruptStoredBlock(1, 3); },
                   "U0 D1024 S D1024 S D952 S U1024 U1024", kVerifyFailed, false},
        EngineCase{"HoldsFirstHalf",
                   [](const std::vector<uint8_t>& image) -> std::optional<std::vector<uint8_t>> {
                       return std::vector<uint8_t>(image.begin(), image.begin() + 1024);
                   },
                   2048, none, "U1024 U0 D1024 S D1024 S D0 S U1024 U1024 U0 R", kSuccess, true},
        EngineCase{"DroppedWrites", blank, 3000, [](Pyx::PyxUnit& unit) { unit.dropWrites(true); },
                   "U0 D1024 S D1024 S D952 S U1024", kVerifyFailed, false},
        EngineCase{"ShortVerifyBlock", blank, 3000,
                   [](Pyx::PyxUnit& unit) { unit.shortenReplies(Pyx::RequestKind::Upload, 500); },
                   "U0 D1024 S D1024 S D952 S U500", kVerifyFailed, false},
        EngineCase{"EmptyStatusReply", blank, 3000,
                   [](Pyx::PyxUnit& unit) { unit.shortenReplies(Pyx::RequestKind::GetStatus, 0); },
                   "U0 D1024 S", kIOFailed, false},
        EngineCase{"FourByteStatusReply", blank, 3000,
                   [](Pyx::PyxUnit& unit) { unit.shortenReplies(Pyx::RequestKind::GetStatus, 4); },
                   "U0 D1024 S", kIOFailed, false}),
    [](const auto& info) { return std::string(info.param.name); });

class ImageSizeRefused : public EngineTest, public testing::WithParamInterface<size_t>
{};

TEST_P(ImageSizeRefused, EndsWithoutARequest)
{
    update(sourceOf(std::vector<uint8_t>(GetParam(), 0x11)));
    ASSERT_TRUE(engine.result());
    EXPECT_EQ(engine.result()->index(), kNoRunImage);
    EXPECT_EQ(updateLog(), "");
    expectEventOrder();
}

INSTANTIATE_TEST_SUITE_P(Sizes, ImageSizeRefused, testing::Values(0, 63, USBUpdater::kImageSizeLimit));

TEST_F(EngineTest, UnreadableSourceEndsWithNoRunImage)
{
    update(std::make_shared<UpdateSource>(
        Pellix::FileSpecification(UString("/pyx/none.update", UString::kUTF8)),
        [](const std::string&) -> UpdateSource::FileRead { throw std::ios_base::failure("unreadable"); }));
    EXPECT_EQ(engine.result()->index(), kNoRunImage);
    expectEventOrder();
}

TEST_F(EngineTest, FailingVerifyUploadEndsWithIOFailureAndNoReboot)
{
    // Blank device, three blocks: the compare upload and three downloads with their polls, then
    // the first verify upload fails.
    fActionAtCompletion = 6;
    fAction = [this] { pyx.unit().failNext(Pyx::RequestKind::Upload, 1, Pyx::PyxUnit::Failure::Stall); };
    update(sourceOf(runImage(3000)));
    EXPECT_EQ(updateLog(), "U0 D1024 S D1024 S D952 S U0");
    EXPECT_EQ(engine.result()->index(), kIOFailed);
    expectEventOrder();
}

TEST_F(EngineTest, UpdateAndSourceChangeAreRefusedWhileRunning)
{
    const auto image = runImage(3000);
    pyx.unit().installImage(image);
    std::optional<bool> again;
    fActionAtCompletion = 1;
    fAction = [&] {
        again = engine.Update();
        engine.setUpdateSource(sourceOf(runImage(5000, 2)));
    };
    update(sourceOf(image));
    EXPECT_EQ(again, false);
    EXPECT_EQ(updateLog(), "U1024 U1024 U952 R");
    EXPECT_EQ(engine.result()->index(), kSuccess);
    expectEventOrder();
}

struct RemovalCase
{
    const char* name;
    bool blankDevice;
    // The update's request (0: its first) at whose completion the device is removed; none: removed
    // while the image is awaited.
    std::optional<size_t> removedAt;
    size_t result;
};

class EngineRemoval : public EngineTest, public testing::WithParamInterface<RemovalCase>
{};

TEST_P(EngineRemoval, EndsOnceWithoutFurtherRequests)
{
    const RemovalCase& c = GetParam();
    const auto image = runImage(3000);
    if (!c.blankDevice)
        pyx.unit().installImage(image);
    engine.DeviceConnected(device = pyx.open());
    const size_t requestsBefore = pyx.unit().requestLog().size();
    fRequestStart = fScript.deviceRequestThreads(kPort).size();
    if (c.removedAt) {
        fActionAtCompletion = c.removedAt;
        fAction = [this] { engine.DeviceRemoved(); };
        engine.setUpdateSource(sourceOf(image));
        ASSERT_TRUE(engine.Update());
    } else {
        // The image arrives after the removal has ended the update.
        std::promise<void> released;
        auto gate = released.get_future().share();
        engine.setUpdateSource(std::make_shared<UpdateSource>(
            Pellix::FileSpecification(UString("/pyx/late.update", UString::kUTF8)),
            [image, gate](const std::string&) {
                gate.wait();
                return UpdateSource::FileRead{image.size(), image};
            }));
        ASSERT_TRUE(engine.Update());
        engine.DeviceRemoved();
        released.set_value();
        // The late image finds nothing to do.
        for (int turn = 0; turn < 50; ++turn)
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.001, true);
    }
    ASSERT_TRUE(runUntil([&] { return finishedCount() == 1 && engine.isIdle(); }));
    EXPECT_EQ(engine.result()->index(), c.result);
    EXPECT_EQ(pyx.unit().requestLog().size() - requestsBefore, c.removedAt ? *c.removedAt + 1 : 0);
    expectEventOrder();
}

INSTANTIATE_TEST_SUITE_P(States, EngineRemoval,
                         testing::Values(RemovalCase{"Acquire", true, std::nullopt, 2},
                                         RemovalCase{"Compare", false, 1, 2},
                                         RemovalCase{"Download", true, 1, 2},
                                         RemovalCase{"Status", true, 2, 2}, RemovalCase{"Verify", true, 7, 2},
                                         RemovalCase{"Reboot", false, 3, kSuccess}),
                         [](const auto& info) { return std::string(info.param.name); });
