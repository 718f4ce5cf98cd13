#pragma once

// Logging for code that must not block, allocate or call the system logger, such as the audio
// server's IO thread. A message is formatted on the caller's stack into a fixed slot of a lock-free
// queue; a worker thread hands the finished lines to a sink. A full queue drops the message.

#include "LocklessQueue.h"
#include "RealTimeLog.h"
#include "ThreadTask.h"

#include <functional>
#include <memory>

class LogThread
{
public:
    static constexpr std::size_t kQueueCapacity = 100;
    static constexpr std::size_t kTextBytes = 256;

    // Receives each line, NUL-terminated, on the worker thread.
    using Sink = std::function<void(const char*)>;

    explicit LogThread(Sink sink);
    ~LogThread();
    LogThread(const LogThread&) = delete;
    LogThread& operator=(const LogThread&) = delete;

    // Posts "text (file: line)\n", where the text is the format with its arguments, the file the
    // base name of the call site's source and each part is cut at 255 characters.
    template <class Location, class... Args>
    void PostMessage(const char* format, const Args&... args)
    {
        Queue::WriteTransaction transaction(*fQueue);
        if (!transaction.reserved()) {
            return;
        }
        char text[kTextBytes];
        const bool formatted = FormatMessage(text, sizeof text, format, args...) >= 0;
        transaction.emplace(formatted ? text : nullptr, Location::baseName(), Location::line());
        if (transaction.commit()) {
            fWorker.signal();
        }
    }

    // The worker's step: hands every waiting line to the sink.
    void poll();

private:
    struct Message
    {
        Message(const char* text, const char* file, int line);

        char fText[kTextBytes];
        bool fValid;
    };
    using Queue = vork::LocklessQueue<Message, kQueueCapacity>;

    vork::ThreadTask<> fWorker;
    std::unique_ptr<Queue> fQueue;
    Sink fSink;
};

// The plug-in's sink: the unified log's default handle, when its default type is enabled.
void AudioLogFunc(const char* text);
