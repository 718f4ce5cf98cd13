#include "ResetUACDevicesTimer.h"

#include "HostTime.h"
#include "Log.h"
#include "WithXpcConnection.h"
#include "WorkLoop.h"

#include <dispatch/dispatch.h>
#include <mach/mach.h>
#include <mach/mach_time.h>
#include <xpc/xpc.h>

#include <mutex>

namespace {

constexpr const char* kReenumeratorService = "com.vork.tide.reenumerator";
constexpr const char* kProxyMessageTypeKey = "kProxyMessageTypeKey";
constexpr uint64_t kResetUACMessage = 0;
constexpr unsigned kRequestPeriodMs = 5000;
constexpr uint64_t kRequestTimeout = 5'000'000'000; // ns
constexpr uint64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr int kRequestCount = 7;

constexpr const char* kEventHandlerName = ResetUACDevicesTimer::kEventHandlerName;

// What one request's waiter and its connection's event handler share. The handler holds it weakly:
// an event after the request was given up finds it gone.
struct RequestState
{
    RequestState() { semaphore_create(mach_task_self(), &fEnded, SYNC_POLICY_FIFO, 0); }
    ~RequestState() { semaphore_destroy(mach_task_self(), fEnded); }
    RequestState(const RequestState&) = delete;
    RequestState& operator=(const RequestState&) = delete;

    std::mutex fMutex;
    // Signalled once the connection has ended, so the waiter need not wait out its time.
    semaphore_t fEnded = 0;
    WithXpcConnection fHolder;
    // Set under fMutex when the waiter is done; an event from then on belongs to no request.
    bool fFinished = false;
};

void HandleEvent(const std::weak_ptr<RequestState>& weakState, xpc_object_t event)
{
    const std::shared_ptr<RequestState> state = weakState.lock();
    std::unique_lock<std::mutex> lock;
    if (state) {
        lock = std::unique_lock<std::mutex>(state->fMutex);
    }
    if (!state || state->fFinished) {
        TIDE_LOG(Log::Info, "%s - xpc server took too long", kEventHandlerName);
        return;
    }
    if (xpc_get_type(event) == XPC_TYPE_ERROR) {
        const char* description = xpc_dictionary_get_string(event, XPC_ERROR_KEY_DESCRIPTION);
        if (description != nullptr) {
            TIDE_LOG(Log::Info, "%s - xpc_error (%s)", kEventHandlerName, description);
        } else {
            TIDE_LOG(Log::Info, "%s - xpc_error (no description)", kEventHandlerName);
        }
        // The connection is over: the waiter returns at once instead of waiting out its time.
        state->fHolder.cancel();
        semaphore_signal(state->fEnded);
        return;
    }
    TIDE_LOG(Log::Info, "%s - Received an unexpected xpc message", kEventHandlerName);
    state->fHolder.cancel(kEventHandlerName);
}

// Waits, holding the state's mutex between waits, while the connection is set and less than the
// request's time has passed since it was sent.
void WaitForTheConnectionToEnd(RequestState& state, std::unique_lock<std::mutex>& lock)
{
    const uint64_t deadline = vork::HostTime::DeadlineAfter(kRequestTimeout);
    while (state.fHolder.isSet()) {
        const uint64_t now = mach_absolute_time();
        if (now >= deadline) {
            return;
        }
        const uint64_t left = vork::HostTime::NanosecondsFromTicks(deadline - now);
        const mach_timespec_t timeout{static_cast<unsigned int>(left / kNanosecondsPerSecond),
                                      static_cast<clock_res_t>(left % kNanosecondsPerSecond)};
        lock.unlock();
        const kern_return_t result = semaphore_timedwait(state.fEnded, timeout);
        lock.lock();
        // Timed out, or no semaphore to wait on.
        if (result != KERN_SUCCESS && result != KERN_ABORTED) {
            return;
        }
    }
}

} // namespace

class ResetUACDevicesTimer::Impl
{
public:
    Impl() : fQueue(dispatch_queue_create("ResetUACDevicesTimer dispatch queue", DISPATCH_QUEUE_SERIAL)) {}

    ~Impl()
    {
        Stop();
        TIDE_LOG(Log::Info, "%s - Releasing dispatch queue", "ResetUACDevicesTimer::Impl::~Impl()");
        dispatch_release(fQueue);
    }

    void Start(WorkLoop* workLoop)
    {
        TIDE_LOG(Log::Info, "%s", "void ResetUACDevicesTimer::Impl::Start(WorkLoop *)");
        fWorkLoop = workLoop;
        ResetUAC();
        if (fEnabled && fWorkLoop != nullptr) {
            fTimer = std::make_unique<WorkLoopTimer>();
            fTimer->Init(TimerCB, this);
            fWorkLoop->AddTimer(fTimer.get(), kRequestPeriodMs, true);
        }
    }

    void Stop()
    {
        TIDE_LOG(Log::Info, "%s", "void ResetUACDevicesTimer::Impl::Stop()");
        if (fTimer && fWorkLoop != nullptr) {
            fWorkLoop->RemoveItem(fTimer.get());
        }
        fTimer.reset();
        fWorkLoop = nullptr;
        fEnabled = false;
    }

private:
    static bool TimerCB(WorkLoopItem*, void* userData)
    {
        static_cast<Impl*>(userData)->ResetUAC();
        return true;
    }

    void ResetUAC()
    {
        TIDE_LOG(Log::Info, "%s", "void ResetUACDevicesTimer::Impl::ResetUAC()");
        ++fCount;
        if (fQueue != nullptr) {
            Request();
        }
        if (fCount > kRequestCount - 1) {
            Stop();
        }
    }

    void Request()
    {
        auto state = std::make_shared<RequestState>();
        xpc_connection_t connection = xpc_connection_create_mach_service(kReenumeratorService, fQueue, 0);
        xpc_connection_set_event_handler(
            connection, [weakState = std::weak_ptr<RequestState>(state)](xpc_object_t event) {
                HandleEvent(weakState, event);
            });
        state->fHolder.set(connection);

        std::unique_lock<std::mutex> lock(state->fMutex);
        xpc_connection_resume(connection);
        xpc_object_t message = xpc_dictionary_create(nullptr, nullptr, 0);
        xpc_dictionary_set_uint64(message, kProxyMessageTypeKey, kResetUACMessage);
        xpc_connection_send_message(connection, message);
        WaitForTheConnectionToEnd(*state, lock);
        state->fFinished = true;
        lock.unlock();
        xpc_release(message);
        // The handler's events from now on find the request gone.
        state->fHolder.cancel();
    }

    std::unique_ptr<WorkLoopTimer> fTimer;
    WorkLoop* fWorkLoop = nullptr;
    int fCount = 0;
    bool fEnabled = true;
    dispatch_queue_t fQueue;
};

ResetUACDevicesTimer::ResetUACDevicesTimer() : fImpl(std::make_unique<Impl>()) {}

ResetUACDevicesTimer::~ResetUACDevicesTimer() = default;

void ResetUACDevicesTimer::Start(WorkLoop* workLoop)
{
    fImpl->Start(workLoop);
}

void ResetUACDevicesTimer::Stop()
{
    fImpl->Stop();
}
