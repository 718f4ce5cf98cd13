#pragma once

// The owner of everything an update needs: the USB thread with its plug-and-play managers, the
// engine, the current device and the current source. It picks the device, starts updates, carries
// the device through both reboots with a 10-second time-out each, and tells its listeners on the
// main thread. All its state lives on the main thread; the USB thread and the pump only post.
// The pump never waits for the main thread: progress is coalesced to one pending message and the
// other engine events go through a mailbox drained by one posted message.

#include <TidePnpMgr.h>
#include <USBUpdater.h>
#include <UpdateDevice.h>
#include <UpdateSource.h>

#include <PnPManagerMac.h>

#include <Observer.h>
#include <RunLoop.h>
#include <RunLoopDispatcher.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

using UpdateFailure =
    std::variant<USBUpdater::ErrIOFailed, USBUpdater::ErrDeviceRemoved, USBUpdater::ErrVerifyFailed,
                 USBUpdater::ErrNoRunImage, USBUpdater::ErrRebootTimeout>;

class UpdateControllerListener : public vork::Dependent<UpdateControllerListener>
{
public:
    virtual void updateStarted() = 0;
    // Ask getUpdateProgress for the numbers.
    virtual void updateProgress() = 0;
    virtual void updateFailed(UpdateFailure failure) = 0;
    virtual void updateSucceeded() = 0;
    virtual void updateSourceChanged() = 0;
    virtual void updateDeviceArrived() {}
    virtual void updateDeviceRemoved() {}
    virtual void updateDeviceCameBackOnline() {}
};

class UpdateController : public vork::Provider<UpdateControllerListener>,
                         public USBUpdater::Delegate,
                         public PnpListener,
                         public TidePnpListener
{
public:
    struct RebootIntoRecovery
    {};
    struct RebootIntoRunImage
    {};

    static constexpr auto kRebootTimeout = std::chrono::milliseconds(10000);

    // Main thread.
    UpdateController();
    ~UpdateController() override;
    UpdateController(const UpdateController&) = delete;
    UpdateController& operator=(const UpdateController&) = delete;

    void beginUpdate();
    void setUpdateSource(std::shared_ptr<UpdateSource> source);
    std::shared_ptr<UpdateSource> getUpdateSource() const { return fSource; }
    std::shared_ptr<UpdateDevice> getDevice() const { return fDevice; }
    void getUpdateProgress(USBUpdater::EBusyState& busy, unsigned long& done, unsigned long& total) const;
    bool isRebooting() const;

    void addListener(UpdateControllerListener* listener) { AddDependentImpl(listener); }
    void removeListener(UpdateControllerListener* listener) { RemoveDependentImpl(listener); }

    static bool SameSerialNumber(const std::string& a, const std::string& b);
    static bool IsDefaultSerial(const std::string& serial);

    void pnpDeviceRemoved(std::shared_ptr<USBDevice> device) override;
    void pnpDeviceAdded(std::shared_ptr<USBDevice> device) override;
    void tide_deviceAdded(std::shared_ptr<TideDevice>) override {}
    void tide_deviceRemoved(std::shared_ptr<TideDevice>) override {}
    void HandleUpdaterEvent(USBUpdater::Event event) override;
    void AsyncEventCompleted(bool ok, unsigned short transferred) override;

private:
    using Dispatcher = vork::RunLoopDispatcher<std::function<void()>, 100>;

    void mainThreadHandleDeviceAdded(const DeviceWrapper& wrapper);
    void mainThreadHandleDeviceRemoved(const DeviceWrapper& wrapper);
    void adopt(const DeviceWrapper& wrapper);
    void startEngine();
    void drainEngineEvents();
    void armRebootTimeout();
    void cancelRebootTimeout();
    void rebootTimeoutTimerFired();
    template <typename Member, typename... Args>
    void broadcast(Member member, Args&&... args);

    std::unique_ptr<Dispatcher> fDispatcher;
    // Engine events only: at most a progress message and a mailbox drain are ever pending, so a
    // post from the pump never waits.
    std::unique_ptr<Dispatcher> fEventDispatcher;
    std::unique_ptr<vork::RunLoop> fUSBThread;
    std::shared_ptr<UpdateSource> fSource;
    std::unique_ptr<USBUpdater> fUpdater;
    std::shared_ptr<UpdateDevice> fDevice;
    std::unique_ptr<PnpManager> fPnpManager;
    std::unique_ptr<TidePnpMgr> fTidePnpMgr;
    std::variant<std::monostate, RebootIntoRecovery, RebootIntoRunImage> fRebootState;
    // From the engine's acceptance of an update until its Finished is handled here.
    bool fEngineRunning = false;
    std::shared_ptr<Dispatcher::Timer> fRebootTimer;

    std::atomic<bool> fProgressPending{false};
    std::mutex fMailboxLock;
    struct MailboxEntry
    {
        USBUpdater::Event event;
        // Taken when Finished is sent, before a later update can clear it.
        std::optional<USBUpdater::Result> result;
    };
    std::deque<MailboxEntry> fMailbox;
    bool fMailboxPosted = false;
};
