#include "LogThread.h"

#include <os/log.h>

LogThread::Message::Message(const char* text, const char* file, int line)
    : fValid(text && FormatMessage(fText, sizeof fText, "%s (%s: %d)\n", text, file, line) >= 0)
{}

LogThread::LogThread(Sink sink)
    : fWorker([this] { poll(); }), fQueue(std::make_unique<Queue>()), fSink(std::move(sink))
{
    fWorker.start();
}

// The worker goes first: it may be reading the queue.
LogThread::~LogThread()
{
    fWorker.stop();
    fQueue.reset();
}

void LogThread::poll()
{
    for (;;) {
        std::optional<Message> message;
        {
            // The slot goes back to the queue before the sink runs.
            Queue::ReadTransaction transaction(*fQueue);
            if (!transaction.valid()) {
                return;
            }
            message = transaction.readAndCommit();
        }
        if (message && message->fValid) {
            fSink(message->fText);
        }
    }
}

void AudioLogFunc(const char* text)
{
    if (os_log_type_enabled(OS_LOG_DEFAULT, OS_LOG_TYPE_DEFAULT)) {
        os_log(OS_LOG_DEFAULT, "%{public}s", text);
    }
}
