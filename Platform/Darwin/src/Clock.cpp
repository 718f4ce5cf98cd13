#include "ClockState.h"

#include <cmath>

namespace DarwinClock {

uint64_t hostNow()
{
    return ClockState::hostNow();
}

double absoluteNow()
{
    return ClockState::absoluteNow();
}

bool isManual()
{
    return ClockState::instance().isManual();
}

uint64_t addSaturating(uint64_t host, uint64_t delta)
{
    return delta > kNever - host ? kNever : host + delta;
}

uint64_t deadlineAfterSeconds(double seconds)
{
    uint64_t now = hostNow();
    if (std::isnan(seconds)) {
        return kNever;
    }
    // Whole microseconds: a double of today's absolute time resolves only about 0.12 us.
    double micros = std::nearbyint(seconds * 1e6);
    if (micros >= double(kNever / 1000)) {
        return kNever;
    }
    if (micros >= 0) {
        return addSaturating(now, uint64_t(micros) * 1000);
    }
    double back = -micros * 1000;
    return back >= double(now) ? 0 : now - uint64_t(back);
}

uint64_t deadlineForDate(double date)
{
    return deadlineAfterSeconds(date - absoluteNow());
}

WaitRegistration::WaitRegistration(uint64_t deadline, const char* name, void (*wake)(void*), void* context)
    : fDeadline(deadline), fName(name), fWake(wake), fContext(context), fParty(&currentParty())
{
    ClockState::instance().add(*this);
}

WaitRegistration::~WaitRegistration()
{
    ClockState::instance().remove(*this);
}

std::optional<std::chrono::steady_clock::time_point> WaitRegistration::realDeadline() const
{
    return ClockState::instance().realDeadline(fDeadline);
}

namespace {

struct ConditionWake
{
    std::mutex* fMutex;
    std::condition_variable* fCondition;

    static void wake(void* context)
    {
        auto* self = static_cast<ConditionWake*>(context);
        std::lock_guard lock(*self->fMutex);
        self->fCondition->notify_all();
    }
};

} // namespace

bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint64_t deadline,
               const char* name)
{
    if (hostNow() >= deadline) {
        return true;
    }
    ConditionWake wake{lock.mutex(), &cv};
    {
        WaitRegistration registration(deadline, name, &ConditionWake::wake, &wake);
        if (auto real = registration.realDeadline()) {
            cv.wait_until(lock, *real);
        } else {
            cv.wait(lock);
        }
        // Unregistering waits for a wake in progress, which takes this mutex.
        lock.unlock();
    }
    lock.lock();
    return hostNow() >= deadline;
}

ServiceScope::ServiceScope(const char* name)
{
    ThreadParty& party = currentParty();
    if (party.fScopeDepth++ == 0) {
        party.fName = name;
    }
}

ServiceScope::~ServiceScope()
{
    ThreadParty& party = currentParty();
    if (--party.fScopeDepth == 0 && party.fBusy.load(std::memory_order_relaxed)) {
        ClockState::instance().partyServed(party);
    }
}

Activity::Activity(const char* name, std::thread::id performer)
    : fId(ClockState::instance().beginActivity(name, performer))
{}

Activity::Activity(Activity&& other) noexcept : fId(std::exchange(other.fId, 0)) {}

Activity& Activity::operator=(Activity&& other) noexcept
{
    if (this != &other) {
        end();
        fId = std::exchange(other.fId, 0);
    }
    return *this;
}

Activity::~Activity()
{
    end();
}

void Activity::end()
{
    if (fId != 0) {
        ClockState::instance().endActivity(std::exchange(fId, 0));
    }
}

AlarmId scheduleAlarm(uint64_t deadline, std::function<void()> callback, const char* name)
{
    return ClockState::instance().scheduleAlarm(deadline, std::move(callback), name);
}

bool cancelAlarm(AlarmId id)
{
    return ClockState::instance().cancelAlarm(id);
}

} // namespace DarwinClock
