#pragma once

// The bus's state and threads. One lock (fLock) guards devices, endpoints and transfers; models are
// called by the transfer worker with it held and by control transfers without it.

#include "Capture.h"
#include "ServiceThread.h"

#include <SimUSB/Bus.h>

#include <Darwin/Clock.h>

#include <array>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace SimUSB {

struct EndpointState;
struct DeviceState;

struct Transfer
{
    Transfer* next = nullptr;
    std::shared_ptr<DeviceState> device;
    EndpointState* endpoint = nullptr;
    uint64_t id = 0;
    uint64_t index = 0; // submissions on the endpoint before this one
    uint64_t submitted = 0;
    Completion completion;
    Status status = kSuccess;
    bool statusForced = false;

    // Interrupt and bulk.
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    uint32_t actual = 0;
    uint64_t deadline = DarwinClock::kNever;
    // No byte for this long ends it (0: no limit); counted from the last byte moved.
    uint64_t noDataNs = 0;
    uint64_t lastMoved = 0;
    bool waitsForever = false; // a NoAnswer fault holds it until time-out or abort

    // Isochronous.
    IsochronousFrame* frames = nullptr;
    uint32_t frameCount = 0;
    uint64_t firstMicroframe = 0;
    uint32_t nextEntry = 0;
    size_t nextOffset = 0;
    size_t dataLength = 0;
};

struct EndpointState
{
    bool present = false;
    EndpointInfo info;
    Transfer* head = nullptr;
    Transfer* tail = nullptr;
    bool halted = false;
    // Isochronous: a Hold fault stopped the endpoint's transfers; once cleared, the packets of
    // microframes before `missedBefore` are not sent.
    bool held = false;
    uint64_t missedBefore = 0;
    uint64_t nextPoll = 0;
    uint64_t submitted = 0;
};

struct FaultRule
{
    uint8_t endpoint;
    Fault fault;
    uint64_t base; // the endpoint's submission count at injection
};

// A control transfer waiting for its answer, woken by a detach.
struct ControlWaiter
{
    ControlWaiter* next = nullptr;
    std::condition_variable wake;
};

struct DeviceState
{
    uint8_t port = 0;
    std::shared_ptr<Device> model;
    bool connected = true;
    bool enumerated = false;
    uint8_t address = 0;
    std::vector<uint8_t> deviceDescriptor;
    std::vector<uint8_t> configuration;
    std::vector<uint16_t> languages;
    uint8_t configurationValue = 0;
    std::array<uint8_t, 32> alternates{};
    std::array<EndpointState, 32> endpoints{};
    std::vector<FaultRule> faults;
    ControlWaiter* waiters = nullptr;
    std::shared_ptr<HostDevice> host;
};

inline size_t endpointSlot(uint8_t address)
{
    return (address & 0x0F) | ((address & 0x80) ? 16 : 0);
}

class BusCore : public std::enable_shared_from_this<BusCore>
{
public:
    BusCore();
    ~BusCore();

    void startThreads();
    void stopThreads();

    // Event thread.
    // Runs `action` on the event thread at `due`; `wait`: returns once it has run; `sync`: on the
    // manual clock, returns once the event thread waits for its next deadline (never from the bus's
    // own threads or with the bus lock held).
    void post(uint64_t due, std::function<void()> action, bool wait, bool sync = true);
    void attachLater(uint8_t port, std::shared_ptr<Device> model, uint64_t delay);
    // Detaches on the event thread and waits for it.
    void detachPort(uint8_t port);
    // Detaches the model on `port` (any model when null) and attaches `replacement`, or the same
    // model, after `delay`.
    void reEnumerate(uint8_t port, const Device* model, uint64_t delay, std::shared_ptr<Device> replacement,
                     bool wait);
    // Requests of the model now on `port`; ignored once another model is there.
    void requestDetach(uint8_t port, const Device* model);
    void requestReEnumerate(uint8_t port, const Device* model, uint64_t delay,
                            std::shared_ptr<Device> replacement);
    void resetAll();
    void settle();
    void addListener(HostListener* listener);
    void removeListener(HostListener* listener);
    std::shared_ptr<HostDevice> device(uint8_t port);

    // Transfers.
    ControlResult control(const std::shared_ptr<DeviceState>& device, const SetupPacket& setup, uint8_t* data,
                          uint32_t timeoutMs);
    Status submit(const std::shared_ptr<DeviceState>& device, uint8_t endpoint, uint8_t* buffer,
                  uint32_t length, uint32_t timeoutMs, Completion completion, uint32_t noDataTimeoutMs);
    Status submitIsochronous(const std::shared_ptr<DeviceState>& device, uint8_t endpoint, uint8_t* data,
                             size_t dataLength, IsochronousFrame* frames, uint32_t frameCount,
                             uint64_t firstFrame, Completion completion);
    void abort(const std::shared_ptr<DeviceState>& device, uint8_t endpoint, Status status);

    void injectFault(uint8_t port, uint8_t endpoint, const Fault& fault);
    void clearFaults(uint8_t port);
    uint64_t transferThreadWaits();

    FrameClock fFrameClock;
    Capture fCapture;
    std::mutex fLock;
    uint64_t fCompletionLatency = 1'000'000;
    bool fPromptBulk = false;

private:
    struct Event
    {
        uint64_t due;
        uint64_t sequence;
        std::function<void()> action;
        bool* done;
    };

    // Event thread: runs the events that are due; the deadline of the next.
    std::optional<uint64_t> serveEvents(std::unique_lock<std::mutex>& lock);
    void attachNow(uint8_t port, const std::shared_ptr<Device>& model);
    void detachNow(uint8_t port);
    const Device* modelOn(uint8_t port);
    uint8_t allocateAddress();
    bool enumerate(const std::shared_ptr<DeviceState>& device);
    void tellArrived(const std::shared_ptr<HostDevice>& host);
    void tellLeft(const std::shared_ptr<HostDevice>& host);

    // Transfer worker (BusCore's lock held unless said otherwise): one pass over the devices and the
    // delivery of what completed, and the deadline of the next pass.
    std::optional<uint64_t> serveTransfers(std::unique_lock<std::mutex>& lock);
    // Serves what is due on every endpoint of every device; the earliest deadline left.
    uint64_t processDevices(uint64_t now);
    uint64_t processDevice(DeviceState& device, uint64_t now);

    // On the manual clock the endpoints are served from a clock alarm, which the advancing thread
    // runs itself, so that no microframe is handed to the worker; the worker only delivers
    // completions. Serves what is due and sets the alarm for what is next.
    void serveByAlarm(std::unique_lock<std::mutex>& lock);
    // Moves the alarm to `deadline` (kNever: none). A replaced alarm is cancelled with the lock
    // released, since its callback may be waiting for the lock.
    void planAlarm(uint64_t deadline, std::unique_lock<std::mutex>& lock);
    void alarmFired(uint64_t generation);
    void stopAlarm();
    // Completes the endpoint's transfers whose time-out has passed; the earliest time-out left.
    uint64_t expire(EndpointState& endpoint, uint64_t now);
    static uint64_t expiry(const Transfer& transfer);
    uint64_t processPolled(DeviceState& device, EndpointState& endpoint, uint64_t now);
    uint64_t processOut(DeviceState& device, EndpointState& endpoint, uint64_t now);
    uint64_t processIsochronous(DeviceState& device, EndpointState& endpoint, uint64_t now);
    enum class EntryOutcome
    {
        Processed,
        NotDue,
        Held,
        Unplugged,
    };
    // Moves an isochronous transfer one entry on.
    // `current`: the microframe under way, read from `clock` once per pass.
    EntryOutcome processEntry(DeviceState& device, EndpointState& endpoint, Transfer& transfer,
                              const FrameClock::Base& clock, uint64_t current);
    void deliverCompleted(std::unique_lock<std::mutex>& lock);

    // Transfer bookkeeping.
    static constexpr int kRecordBatch = 64;
    Transfer* takeRecord();
    // A record for a transfer on the endpoint, numbered in the bus's and the endpoint's order.
    Transfer* newTransfer(const std::shared_ptr<DeviceState>& device, EndpointState& endpoint, uint64_t now,
                          const Completion& completion, uint8_t* buffer);
    // Queues the transfer behind the endpoint's others, captures it and hands it to the worker.
    void enqueue(EndpointState& endpoint, Transfer* transfer, std::unique_lock<std::mutex>& lock);
    // Has the endpoints served now: by the alarm on the manual clock, else by the worker.
    void wake(std::unique_lock<std::mutex>& lock);
    void giveBack(Transfer* transfer);
    void unlink(EndpointState& endpoint, Transfer* transfer, Transfer* previous);
    void complete(EndpointState& endpoint, Transfer* transfer, Transfer* previous, Status status);
    void finish(Transfer* transfer, Status status);
    void completeAll(EndpointState& endpoint, Status status);
    void disconnectLocked(DeviceState& device);
    void unplugFromWorker(DeviceState& device);
    const Fault* faultFor(DeviceState& device, uint8_t endpoint, uint64_t microframe, uint64_t index);
    static uint64_t pollInterval(const EndpointInfo& info);
    // Whether the endpoint's transfers move without modelled wire time.
    bool isPrompt(const EndpointState& endpoint) const;
    // What a captured submission and completion of the transfer both carry.
    static Capture::Event captureEvent(const Transfer& transfer);
    void captureSubmit(const Transfer& transfer);
    void captureComplete(const Transfer& transfer);

    // Control (no lock held on entry).
    void waitForAnswer(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, uint64_t deadline);
    void setEventThreadWaiting(bool waiting);
    void applyStandardRequest(const std::shared_ptr<DeviceState>& device, const SetupPacket& setup);
    void rebuildEndpoints(DeviceState& device, int interface);

    // Events.
    std::mutex fEventLock;
    std::deque<Event> fEvents;
    uint64_t fEventSequence = 0;
    ServiceThread fEventThread{"SimUSB events", fEventLock};
    // The event thread waits on the clock inside a control transfer of an enumeration.
    bool fEventThreadInTransfer = false;
    std::vector<HostListener*> fListeners;

    // Ports and the worker.
    std::array<std::shared_ptr<DeviceState>, Bus::kPortCount + 1> fPorts{};
    uint8_t fNextAddress = 1;
    ServiceThread fWorker{"SimUSB transfers", fLock};
    DarwinClock::AlarmId fAlarm = 0;
    uint64_t fAlarmDeadline = DarwinClock::kNever;
    // Tells a callback whose alarm was replaced while it waited for the lock that it is stale.
    uint64_t fAlarmGeneration = 0;
    bool fAlarmStopped = false;
    Transfer* fFreeRecords = nullptr;
    Transfer* fDoneHead = nullptr;
    Transfer* fDoneTail = nullptr;
    bool fDelivering = false;
    std::condition_variable fDeliveredWake;
    uint64_t fNextTransferId = 1;
    std::vector<uint8_t> fScratch;
};

} // namespace SimUSB
