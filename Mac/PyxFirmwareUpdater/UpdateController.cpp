#include <UpdateController.h>

#include <KorvanDeviceIdentities.h>

#include <condition_variable>

namespace {

const std::string kDefaultSerials[] = {"VORKFFFFFF", "PyxEFFFFFF"};

std::vector<USBMatchingInfo> pyxMatching()
{
    // Our own identifier; matching never looks at it.
    const std::array<uint8_t, 16> identifier{0x50, 0x79, 0x78, 0x55, 0x70, 0x64, 0x61, 0x74,
                                             0x65, 0x72, 0x4D, 0x61, 0x74, 0x63, 0x68, 0x01};
    return {{KorvanDeviceIdentities::kVendorID, KorvanDeviceIdentities::kPyxRecoveryProductID, identifier},
            {KorvanDeviceIdentities::kVendorID, KorvanDeviceIdentities::kPyxProductID, identifier}};
}

std::optional<UpdateFailure> failureOf(const USBUpdater::Result& result)
{
    return std::visit(
        [](const auto& outcome) -> std::optional<UpdateFailure> {
            if constexpr (std::is_same_v<std::decay_t<decltype(outcome)>, USBUpdater::Success>)
                return std::nullopt;
            else
                return UpdateFailure(outcome);
        },
        result);
}

} // namespace

UpdateController::UpdateController()
    : fDispatcher(std::make_unique<Dispatcher>([](const std::function<void()>& message) { message(); })),
      fEventDispatcher(std::make_unique<Dispatcher>([](const std::function<void()>& message) { message(); })),
      fUpdater(std::make_unique<USBUpdater>(*this))
{
    fUSBThread = std::make_unique<vork::RunLoop>([this] {
        fPnpManager = std::make_unique<PnpManager>(pyxMatching());
        fPnpManager->addListener(this);
        fTidePnpMgr = std::make_unique<TidePnpMgr>(std::set<uint16_t>{KorvanDeviceIdentities::kPyxProductID});
        fTidePnpMgr->addListener(this);
        const auto devices = fPnpManager->getDevices();
        if (!devices.empty())
            fDevice = std::make_shared<UpdateDevice>(DeviceWrapper(devices.front()));
    });
    if (fDevice)
        fUpdater->DeviceConnected(fDevice);
    // Until the user chooses a file, the image comes from the firmware server.
    setUpdateSource(std::make_shared<UpdateSource>(VorkDownload{}));
}

UpdateController::~UpdateController()
{
    // No thread may block on the main thread from here on.
    fDispatcher->stop();
    fEventDispatcher->stop();
    // The managers live and die on the USB thread.
    std::mutex mutex;
    std::condition_variable destroyed;
    bool done = false;
    CFRunLoopPerformBlock(fUSBThread->runLoop(), kCFRunLoopCommonModes, [&] {
        fPnpManager.reset();
        fTidePnpMgr.reset();
        std::lock_guard lock(mutex);
        done = true;
        destroyed.notify_all();
    });
    CFRunLoopWakeUp(fUSBThread->runLoop());
    {
        std::unique_lock lock(mutex);
        destroyed.wait(lock, [&] { return done; });
    }
    fUSBThread.reset();
    // The pump finishes the request in progress, bounded by the platform's request time-out; its
    // completion still reaches the engine through this controller.
    fUpdater->stop();
    fUpdater.reset();
}

template <typename Member, typename... Args>
void UpdateController::broadcast(Member member, Args&&... args)
{
    vork::BroadcastMessage(static_cast<vork::Provider<UpdateControllerListener>*>(this), member,
                           std::forward<Args>(args)...);
}

void UpdateController::beginUpdate()
{
    // A click during an update or a reboot would start a second update on a device about to leave.
    if (!fUpdater || !fSource || !fDevice || fEngineRunning || isRebooting())
        return;
    const UpdateDevice::Mode mode = fDevice->mode();
    if (std::holds_alternative<UpdateDevice::RecoveryMode>(mode)) {
        startEngine();
    } else if (std::holds_alternative<UpdateDevice::RunMode>(mode)) {
        fRebootState = RebootIntoRecovery{};
        armRebootTimeout();
        fDevice->rebootIntoRecovery();
    }
}

void UpdateController::startEngine()
{
    // The source chosen last is the one written, even if it was chosen during an update.
    fUpdater->setUpdateSource(fSource);
    fEngineRunning = fUpdater->Update();
}

void UpdateController::setUpdateSource(std::shared_ptr<UpdateSource> source)
{
    fSource = std::move(source);
    if (!fSource)
        return;
    fUpdater->setUpdateSource(fSource);
    broadcast(&UpdateControllerListener::updateSourceChanged);
}

void UpdateController::getUpdateProgress(USBUpdater::EBusyState& busy, unsigned long& done,
                                         unsigned long& total) const
{
    busy = fUpdater->busyState();
    if (busy != USBUpdater::BusyAcquiring) {
        done = fUpdater->blocksDone();
        total = fUpdater->blockTotal();
        return;
    }
    unsigned long long sourceDone = 0;
    unsigned long long sourceTotal = 1;
    if (fSource)
        fSource->getAcquireProgress(sourceDone, sourceTotal);
    done = sourceDone;
    total = sourceTotal;
}

bool UpdateController::isRebooting() const
{
    return !std::holds_alternative<std::monostate>(fRebootState);
}

bool UpdateController::SameSerialNumber(const std::string& a, const std::string& b)
{
    return a == b || (IsDefaultSerial(a) && IsDefaultSerial(b));
}

bool UpdateController::IsDefaultSerial(const std::string& serial)
{
    return serial.size() == 10 && (serial == kDefaultSerials[0] || serial == kDefaultSerials[1]);
}

void UpdateController::pnpDeviceAdded(std::shared_ptr<USBDevice> device)
{
    fDispatcher->post([this, device] { mainThreadHandleDeviceAdded(DeviceWrapper(device)); });
}

void UpdateController::pnpDeviceRemoved(std::shared_ptr<USBDevice> device)
{
    fDispatcher->post([this, device] { mainThreadHandleDeviceRemoved(DeviceWrapper(device)); });
}

void UpdateController::mainThreadHandleDeviceAdded(const DeviceWrapper& wrapper)
{
    // The engine's news comes on its own queue: a reboot it announced before its request is read
    // before the device's leaving or return that the request caused.
    drainEngineEvents();
    const bool sameUnit = fDevice && SameSerialNumber(wrapper.serialNumber(), fDevice->lastSerial());
    if (std::holds_alternative<RebootIntoRecovery>(fRebootState) &&
        wrapper.productId() == KorvanDeviceIdentities::kPyxRecoveryProductID && sameUnit) {
        fRebootState = std::monostate{};
        fDevice->setDevice(wrapper);
        startEngine();
        return;
    }
    if (std::holds_alternative<RebootIntoRunImage>(fRebootState) &&
        wrapper.productId() == KorvanDeviceIdentities::kPyxProductID && sameUnit) {
        fRebootState = std::monostate{};
        fDevice->setDevice(wrapper);
        broadcast(&UpdateControllerListener::updateDeviceCameBackOnline);
        return;
    }
    // The unit came back without reaching recovery (power lost at the reboot request): the update
    // it was rebooting for has failed, and the user may try again with the unit adopted anew.
    const bool backWithoutRecovery = std::holds_alternative<RebootIntoRecovery>(fRebootState) &&
                                     wrapper.productId() == KorvanDeviceIdentities::kPyxProductID && sameUnit;
    // A running update stays with its device; another one is taken when plugged in again.
    if (!isRebooting() && !fUpdater->isIdle() && fDevice && !(wrapper == fDevice->getDevice()))
        return;
    adopt(wrapper);
    if (backWithoutRecovery)
        broadcast(&UpdateControllerListener::updateFailed, UpdateFailure(USBUpdater::ErrRebootTimeout{}));
}

void UpdateController::adopt(const DeviceWrapper& wrapper)
{
    fRebootState = std::monostate{};
    fDevice = std::make_shared<UpdateDevice>(wrapper);
    fUpdater->DeviceConnected(fDevice);
    broadcast(&UpdateControllerListener::updateDeviceArrived);
}

void UpdateController::mainThreadHandleDeviceRemoved(const DeviceWrapper& wrapper)
{
    drainEngineEvents();
    if (!fDevice || !(wrapper == fDevice->getDevice()) || isRebooting())
        return;
    fDevice.reset();
    fUpdater->DeviceRemoved();
    broadcast(&UpdateControllerListener::updateDeviceRemoved);
}

void UpdateController::HandleUpdaterEvent(USBUpdater::Event event)
{
    if (event == USBUpdater::Progress) {
        if (!fProgressPending.exchange(true)) {
            fEventDispatcher->post([this] {
                fProgressPending.store(false);
                drainEngineEvents();
                broadcast(&UpdateControllerListener::updateProgress);
            });
        }
        return;
    }
    {
        std::lock_guard lock(fMailboxLock);
        fMailbox.push_back({event, event == USBUpdater::Finished ? fUpdater->result() : std::nullopt});
        if (std::exchange(fMailboxPosted, true))
            return;
    }
    fEventDispatcher->post([this] { drainEngineEvents(); });
}

void UpdateController::drainEngineEvents()
{
    std::deque<MailboxEntry> entries;
    {
        std::lock_guard lock(fMailboxLock);
        entries.swap(fMailbox);
        fMailboxPosted = false;
    }
    for (const MailboxEntry& entry : entries) {
        switch (entry.event) {
        case USBUpdater::Started:
            broadcast(&UpdateControllerListener::updateStarted);
            break;
        case USBUpdater::Finished:
            fEngineRunning = false;
            if (!entry.result)
                break;
            if (const auto failure = failureOf(*entry.result))
                broadcast(&UpdateControllerListener::updateFailed, *failure);
            else
                broadcast(&UpdateControllerListener::updateSucceeded);
            break;
        case USBUpdater::Rebooting:
            fRebootState = RebootIntoRunImage{};
            armRebootTimeout();
            break;
        case USBUpdater::Progress:
            break;
        }
    }
}

void UpdateController::AsyncEventCompleted(bool ok, unsigned short transferred)
{
    fUpdater->AsyncRequestCallback(ok, transferred);
}

void UpdateController::armRebootTimeout()
{
    cancelRebootTimeout();
    if (fRebootTimer)
        fDispatcher->startTimer(fRebootTimer);
    else
        fRebootTimer = fDispatcher->postTimed(kRebootTimeout, [this] { rebootTimeoutTimerFired(); });
}

void UpdateController::cancelRebootTimeout()
{
    if (fRebootTimer)
        fDispatcher->stopTimer(fRebootTimer);
}

void UpdateController::rebootTimeoutTimerFired()
{
    if (isRebooting())
        broadcast(&UpdateControllerListener::updateFailed, UpdateFailure(USBUpdater::ErrRebootTimeout{}));
    fRebootState = std::monostate{};
}
