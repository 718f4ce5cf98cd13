#include "Activities.h"

#include <Foundation/NSProcessInfo.h>
#include <Foundation/NSString.h>

#include <FoundationPlatform/RecordSequence.h>

#include <algorithm>
#include <mutex>

namespace {

class ActivityToken : public NS::Object
{
public:
    explicit ActivityToken(Foundation::Activity activity) : fActivity(std::move(activity)) {}
    const Foundation::Activity fActivity;
};

std::mutex gLock;
std::vector<ActivityToken*> gActive;

} // namespace

namespace Foundation {

std::vector<Activity> activeActivities()
{
    std::lock_guard lock(gLock);
    std::vector<Activity> activities;
    for (const ActivityToken* token : gActive) {
        activities.push_back(token->fActivity);
    }
    return activities;
}

} // namespace Foundation

namespace NS {

Object* ProcessInfo::beginActivityWithOptions(uint64_t options, String reason)
{
    auto* token = new ActivityToken({options, UTF8String(reason), FoundationPlatform::nextRecordSequence()});
    std::lock_guard lock(gLock);
    gActive.push_back(token);
    return token;
}

void ProcessInfo::endActivity(Object* activity)
{
    std::unique_lock lock(gLock);
    auto found = std::find(gActive.begin(), gActive.end(), activity);
    if (found == gActive.end()) {
        return;
    }
    gActive.erase(found);
    lock.unlock();
    activity->release();
}

} // namespace NS
