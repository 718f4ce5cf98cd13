// A file source: one read for all waiting callers, on its own thread, refused when short or
// failing, and the file named by its UTF-8 path.

#include "PyxUpdaterSupport.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>

using namespace PyxUpdaterTests;

namespace {

struct Answer
{
    int call;
    std::optional<AcquisitionError> error;
};

class FileSourceTest : public testing::Test
{
protected:
    void SetUp() override
    {
        fFolder = std::filesystem::temp_directory_path() /
                  ("pyx-source-" + std::to_string(::getpid()) + "-" +
                   testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(fFolder);
    }
    void TearDown() override { std::filesystem::remove_all(fFolder); }

    std::filesystem::path write(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        const auto path = fFolder / std::filesystem::u8path(name);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path;
    }
    static Pellix::FileSpecification spec(const std::filesystem::path& path)
    {
        const std::u8string text = path.u8string();
        return Pellix::FileSpecification(UString(std::string(text.begin(), text.end()), UString::kUTF8));
    }
    // Acquires and waits for the answer.
    std::optional<AcquisitionError> acquire(UpdateSource& source)
    {
        std::optional<std::optional<AcquisitionError>> answer;
        source.acquire([&](UpdateSource*, std::optional<AcquisitionError> error) { answer = error; });
        EXPECT_TRUE(runUntil([&] { return answer.has_value(); }));
        return answer.value_or(std::nullopt);
    }

    std::filesystem::path fFolder;
};

} // namespace

TEST_F(FileSourceTest, TwoCallersAreAnsweredInOrderAfterOneReadAndALaterOneAtOnce)
{
    std::atomic<int> reads{0};
    const auto image = runImage(3000, 2);
    UpdateSource source(spec(fFolder / "a.update"), [&](const std::string&) {
        ++reads;
        return UpdateSource::FileRead{image.size(), image};
    });
    std::vector<Answer> answers;
    unsigned long long done = 0;
    unsigned long long total = 0;
    source.getAcquireProgress(done, total);
    EXPECT_EQ(std::pair(done, total), std::pair(0ull, 1ull));
    EXPECT_EQ(source.getVersionInfo(), "");
    source.acquire([&](UpdateSource* answering, auto error) {
        EXPECT_EQ(answering, &source);
        answers.push_back({1, error});
    });
    source.acquireVersionInfo([&](UpdateSource*, auto error) { answers.push_back({2, error}); });
    ASSERT_TRUE(runUntil([&] { return answers.size() == 2; }));
    EXPECT_EQ(answers[0].call, 1);
    EXPECT_EQ(answers[1].call, 2);
    EXPECT_FALSE(answers[0].error);
    EXPECT_EQ(reads.load(), 1);
    source.acquire([&](UpdateSource*, auto error) { answers.push_back({3, error}); });
    EXPECT_EQ(answers.size(), 3u);
    EXPECT_EQ(reads.load(), 1);
    source.getAcquireProgress(done, total);
    EXPECT_EQ(std::pair(done, total), std::pair(1ull, 1ull));
    EXPECT_EQ(source.getVersionInfo(), Pyx::versionText({.minor = 2, .build = "test"}));
    EXPECT_EQ(*source.runImage(), image);
}

TEST_F(FileSourceTest, ShortFileHasAnAllZeroVersion)
{
    UpdateSource source(spec(write("short.update", std::vector<uint8_t>(10, 7))));
    EXPECT_FALSE(acquire(source));
    EXPECT_EQ(source.runImage()->size(), 10u);
    EXPECT_EQ(source.getVersionInfo(), std::string("0.0.0+") + std::string(12, '\0'));
}

TEST_F(FileSourceTest, MissingFileAndFolderAreFileErrors)
{
    for (const auto& path : {fFolder / "missing.update", fFolder}) {
        UpdateSource source(spec(path));
        const auto error = acquire(source);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->getDescription().utf8_str(), "Error reading file");
        EXPECT_EQ(source.acquireState(), UpdateSource::NotAcquired);
    }
}

TEST_F(FileSourceTest, NonAsciiNameOpensThatFileAndNotItsBlankedTwin)
{
    const auto wanted = runImage(2000, 5);
    write("Firmware \xC3\xBC.update", wanted);
    write("Firmware  .update", runImage(2000, 6));
    UpdateSource source(spec(fFolder / std::filesystem::u8path("Firmware \xC3\xBC.update")));
    EXPECT_FALSE(acquire(source));
    EXPECT_EQ(*source.runImage(), wanted);
}

TEST_F(FileSourceTest, ShortOrFailingReadsAreFileErrors)
{
    const std::vector<UpdateSource::Reader> readers{
        [](const std::string&) {
            return UpdateSource::FileRead{3000, std::vector<uint8_t>(1500)};
        },
        [](const std::string&) -> UpdateSource::FileRead { throw std::ios_base::failure("read failed"); },
    };
    for (const auto& reader : readers) {
        UpdateSource source(spec(fFolder / "a.update"), reader);
        EXPECT_TRUE(acquire(source));
        EXPECT_FALSE(source.runImage());
    }
}

TEST_F(FileSourceTest, SourceDestroyedWhileReadingCallsNobody)
{
    std::promise<void> release;
    auto gate = release.get_future().share();
    std::promise<void> reading;
    bool called = false;
    {
        UpdateSource source(spec(fFolder / "a.update"), [&](const std::string&) {
            reading.set_value();
            gate.wait();
            return UpdateSource::FileRead{10, std::vector<uint8_t>(10)};
        });
        source.acquire([&](UpdateSource*, auto) { called = true; });
        reading.get_future().wait();
        auto releaser = std::async(std::launch::async, [&] { release.set_value(); });
        // Destruction waits for the read in progress, then drops its answer.
    }
    for (int turn = 0; turn < 20; ++turn)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.001, true);
    EXPECT_FALSE(called);
}
