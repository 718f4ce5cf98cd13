#include "MessageQueue.h"

void MessageQueue::PushMessage(std::string message)
{
    std::lock_guard lock(fLock);
    if (fMessages.size() == kCapacity) {
        fMessages.pop_front();
    }
    fMessages.push_back(std::move(message));
}

bool MessageQueue::PopMessage(std::string& message)
{
    std::lock_guard lock(fLock);
    if (fMessages.empty()) {
        return false;
    }
    message = std::move(fMessages.front());
    fMessages.pop_front();
    return true;
}

size_t MessageQueue::size() const
{
    std::lock_guard lock(fLock);
    return fMessages.size();
}

void MessageQueue::clear()
{
    std::lock_guard lock(fLock);
    fMessages.clear();
}
