#pragma once

// Datagrams on their way from the reader thread to the main thread. Anyone on the network can fill
// it, so it holds at most kCapacity messages and a push into a full queue drops the oldest;
// announcements repeat, and expiry covers a dropped one.

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

class MessageQueue
{
public:
    static constexpr size_t kCapacity = 1024;

    void PushMessage(std::string message);
    // False when the queue is empty.
    bool PopMessage(std::string& message);
    size_t size() const;
    void clear();

private:
    mutable std::mutex fLock;
    std::deque<std::string> fMessages;
};
