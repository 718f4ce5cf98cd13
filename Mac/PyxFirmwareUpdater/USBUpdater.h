#pragma once

// The engine that writes a run image into a Pyx in recovery mode: read the stored image back and
// compare; if it differs, download it block by block, polling the status after each block until
// the device is idle; read it all back to verify; then reboot the device into it. Every request
// and every state change runs on the engine's pump, one request at a time. Each update carries a
// generation number, so that a late image or a request queued before the update ended does
// nothing, and every update ends with exactly one Finished.

#include <DeviceReplies.h>
#include <UpdateDevice.h>
#include <UpdateSource.h>
#include <ZombieDetector.h>

#include <MessagePump.h>
#include <RunLoopDispatcher.h>
#include <WrappedLambda.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

class USBUpdater
{
public:
    struct Success
    {};
    struct ErrIOFailed
    {};
    struct ErrDeviceRemoved
    {};
    struct ErrVerifyFailed
    {};
    struct ErrNoRunImage
    {};
    struct ErrRebootTimeout
    {};
    using Result = std::variant<Success, ErrIOFailed, ErrDeviceRemoved, ErrVerifyFailed, ErrNoRunImage,
                                ErrRebootTimeout>;

    enum EBusyState : int32_t
    {
        BusyAcquiring = 0,
        BusyChecking = 1,
        BusyUpdating = 2,
        BusyVerifying = 4,
        NotBusy = 6,
    };

    enum Event : int32_t
    {
        Started = 0,
        Finished = 1,
        Rebooting = 2,
        Progress = 3,
    };

    class Delegate
    {
    public:
        // On the thread where the event arises, mostly the pump: must not wait for another thread.
        virtual void HandleUpdaterEvent(Event event) = 0;
        // On the pump, after each request; must call AsyncRequestCallback before returning.
        virtual void AsyncEventCompleted(bool ok, unsigned short transferred) = 0;

    protected:
        ~Delegate() = default;
    };

    static constexpr size_t kBlockSize = 1024;
    // Every run image starts with its header; 65,536 blocks would wrap the block number.
    static constexpr size_t kMinimumImageSize = 64;
    static constexpr size_t kImageSizeLimit = 65536 * kBlockSize;

    // Main thread.
    explicit USBUpdater(Delegate& delegate);
    ~USBUpdater();
    USBUpdater(const USBUpdater&) = delete;
    USBUpdater& operator=(const USBUpdater&) = delete;

    // Lets the request in progress finish and stops the pump: no request and no callback after it.
    // Nothing else may be called afterwards but the destructor.
    void stop();

    bool Update();
    void setUpdateSource(std::shared_ptr<UpdateSource> source);
    void DeviceConnected(std::shared_ptr<UpdateDevice> device);
    void DeviceRemoved();
    void readTestStatusSync();
    void AsyncRequestCallback(bool ok, unsigned short transferred);

    // The outcome of the last update, until the next Update().
    std::optional<Result> result() const;
    bool isIdle() const { return fState.load() == kIdle; }
    // Published by the pump for other threads.
    EBusyState busyState() const { return fPublishedBusy.load(); }
    uint64_t blocksDone() const { return fPublishedDone.load(); }
    uint64_t blockTotal() const { return fPublishedTotal.load(); }

private:
    using Message = vork::wrapped_lambda<void(), 128, 8>;

    enum State : int32_t
    {
        kAcquire = 0,
        kCompare = 1,
        kDownload = 2,
        kStatus = 3,
        kVerify = 4,
        kReboot = 5,
        kIdle = 6,
    };

    // Pump thread.
    void imageArrived(uint64_t generation, const UpdateSource* source,
                      std::shared_ptr<std::vector<unsigned char>> image, bool failed);
    void setState(State state, std::optional<EBusyState> busy = std::nullopt);
    void finish(Result result);
    void request(USBControlTransfer transfer);
    void ReceiveNextBlock();
    void TransferNextBlock();
    void GetStatus();
    void RebootToApp();
    using BlockCheck = DeviceReplies::BlockCheck;
    BlockCheck VerifyBlock(unsigned long length);
    void publishProgress();

    ZombieDetector fZombieDetector;
    std::shared_ptr<UpdateDevice> fDevice;
    Delegate& fDelegate;
    bool fTestStatus = false;
    std::shared_ptr<UpdateSource> fSource;
    std::array<uint8_t, kBlockSize> fBuffer{};
    std::array<uint8_t, 6> fStatus{};
    std::shared_ptr<std::vector<unsigned char>> fImage;
    uint64_t fOffset = 0;
    uint64_t fChunkSize = 0;
    uint16_t fBlockNumber = 0;
    uint64_t fGeneration = 0;
    std::atomic<State> fState{kIdle};
    std::atomic<bool> fStopping{false};
    EBusyState fBusyState = NotBusy;
    mutable std::mutex fResultLock;
    std::optional<Result> fResult;
    std::atomic<EBusyState> fPublishedBusy{NotBusy};
    std::atomic<uint64_t> fPublishedDone{0};
    std::atomic<uint64_t> fPublishedTotal{0};
    std::unique_ptr<vork::MessagePump<Message, 100>> fPump;
    std::unique_ptr<vork::RunLoopDispatcher<Message, 100>> fMainDispatcher;
};
