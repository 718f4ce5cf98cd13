#include "LogThread.h"
#include "VorkSemaphoreSignalHook.h"

#include <DarwinTesting/LogCapture.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using DarwinTesting::LogCapture;
using DarwinTesting::LogSource;

namespace {

// A sink that records every line and can hold the worker inside it.
class GatedSink
{
public:
    LogThread::Sink sink()
    {
        return [this](const char* text) {
            std::unique_lock lock(fMutex);
            fLines.emplace_back(text);
            fChanged.notify_all();
            fChanged.wait(lock, [this] { return fOpen; });
        };
    }

    void close()
    {
        std::lock_guard lock(fMutex);
        fOpen = false;
    }

    void open()
    {
        std::lock_guard lock(fMutex);
        fOpen = true;
        fChanged.notify_all();
    }

    // Waits until `count` lines have arrived.
    std::vector<std::string> awaitLines(std::size_t count)
    {
        std::unique_lock lock(fMutex);
        fChanged.wait(lock, [&] { return fLines.size() >= count; });
        return fLines;
    }

private:
    std::mutex fMutex;
    std::condition_variable fChanged;
    std::vector<std::string> fLines;
    bool fOpen = true;
};

using Here = SourceLocation<"Mac/Driver/User/Plug-In/SA_DeviceUSB.cpp", 42>;

TEST(LogThread, LineCarriesTheBaseNameAndLine)
{
    GatedSink sink;
    LogThread log(sink.sink());
    log.PostMessage<Here>("text");
    log.PostMessage<Here>("%d frames of %s at %.1f", 6, "input", 2.5);
    EXPECT_EQ(sink.awaitLines(2),
              (std::vector<std::string>{"text (SA_DeviceUSB.cpp: 42)\n",
                                        "6 frames of input at 2.5 (SA_DeviceUSB.cpp: 42)\n"}));
}

TEST(LogThread, CallSiteMacroUsesThisFile)
{
    GatedSink sink;
    LogThread log(sink.sink());
    const int line = __LINE__ + 1;
    LOG_THREAD_POST(&log, "value %u", 7u);
    EXPECT_EQ(sink.awaitLines(1)[0], "value 7 (LogThreadTests.cpp: " + std::to_string(line) + ")\n");
}

TEST(LogThread, LongTextIsCutAndLosesItsLocation)
{
    GatedSink sink;
    LogThread log(sink.sink());
    std::string text;
    for (int i = 0; text.size() < 300; ++i) {
        text += char('a' + i % 26);
    }
    log.PostMessage<Here>("%s", text.c_str());
    EXPECT_EQ(sink.awaitLines(1)[0], text.substr(0, 255));
}

TEST(LogThread, FullQueueDropsTheMessage)
{
    GatedSink sink;
    LogThread log(sink.sink());
    sink.close();
    log.PostMessage<Here>("held");
    sink.awaitLines(1);

    // The worker is held in the sink with the first line; its slot is free again.
    for (int i = 0; i < 100; ++i) {
        log.PostMessage<Here>("waiting %d", i);
    }
    log.PostMessage<Here>("dropped");
    sink.open();
    sink.awaitLines(101);
    log.PostMessage<Here>("after");

    const std::vector<std::string> lines = sink.awaitLines(102);
    ASSERT_EQ(lines.size(), 102u);
    EXPECT_EQ(lines[0], "held (SA_DeviceUSB.cpp: 42)\n");
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(lines[std::size_t(i) + 1], "waiting " + std::to_string(i) + " (SA_DeviceUSB.cpp: 42)\n");
    }
    EXPECT_EQ(lines[101], "after (SA_DeviceUSB.cpp: 42)\n");
}

TEST(LogThread, DestroyedWithMessagesWaiting)
{
    GatedSink sink;
    auto log = std::make_unique<LogThread>(sink.sink());
    sink.close();
    log->PostMessage<Here>("held");
    sink.awaitLines(1);
    for (int i = 0; i < 50; ++i) {
        log->PostMessage<Here>("waiting %d", i);
    }
    // The worker still holds the first line when the destroying thread signals it to stop; it
    // then drains the 50 waiting lines from a queue that must still exist.
    std::thread destroyer([&] {
        VorkTesting::afterNextSemaphoreSignal([&] { sink.open(); });
        log.reset();
    });
    destroyer.join();
    const std::vector<std::string> lines = sink.awaitLines(0);
    ASSERT_EQ(lines.size(), 51u);
    EXPECT_EQ(lines[50], "waiting 49 (SA_DeviceUSB.cpp: 42)\n");
}

TEST(LogThread, AudioLogFuncWritesToTheDefaultLog)
{
    LogCapture capture;
    AudioLogFunc("line one (SA_DeviceUSB.cpp: 42)\n");
    AudioLogFunc("%s and 100% kept");

    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].fSource, LogSource::OSLog);
    EXPECT_EQ(records[0].fType, OS_LOG_TYPE_DEFAULT);
    EXPECT_EQ(records[0].fText, "line one (SA_DeviceUSB.cpp: 42)\n");
    EXPECT_EQ(records[1].fText, "%s and 100% kept");
}

TEST(LogThread, AudioLogFuncWritesNothingWhileTheDefaultTypeIsOff)
{
    LogCapture capture;
    {
        const DarwinTesting::DefaultLogDisabled disabled;
        AudioLogFunc("not written");
    }
    EXPECT_TRUE(capture.records().empty());
}

} // namespace
