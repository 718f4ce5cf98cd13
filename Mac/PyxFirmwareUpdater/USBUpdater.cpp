#include <USBUpdater.h>

#include <algorithm>

USBUpdater::USBUpdater(Delegate& delegate)
    : fDelegate(delegate),
      fPump(std::make_unique<vork::MessagePump<Message, 100>>([](const Message& message) { message(); })),
      fMainDispatcher(
          std::make_unique<vork::RunLoopDispatcher<Message, 100>>([](const Message& message) { message(); }))
{
    fPump->start();
}

USBUpdater::~USBUpdater()
{
    stop();
    fMainDispatcher.reset();
}

void USBUpdater::stop()
{
    // Messages still queued send nothing, so that a device polled without end lets the pump stop.
    fStopping.store(true);
    // The pump stays in place while its last message may still post to it.
    if (fPump)
        fPump->stop();
    fPump.reset();
}

bool USBUpdater::Update()
{
    bool started = false;
    fPump->postSync([this, &started] {
        if (!fSource || fState.load() != kIdle)
            return;
        {
            std::lock_guard lock(fResultLock);
            fResult.reset();
        }
        ++fGeneration;
        fImage.reset();
        fOffset = 0;
        fChunkSize = 0;
        fBlockNumber = 0;
        setState(kAcquire, BusyAcquiring);
        fDelegate.HandleUpdaterEvent(Started);
        fMainDispatcher->post(
            [this, source = fSource, generation = fGeneration, alive = fZombieDetector.watch()] {
                source->acquire([this, generation, alive](UpdateSource* answering,
                                                          std::optional<AcquisitionError> error) {
                    if (alive.expired())
                        return;
                    auto image = error ? nullptr : answering->runImage();
                    fPump->post([this, generation, answering, image, failed = error.has_value()] {
                        imageArrived(generation, answering, image, failed);
                    });
                });
            });
        started = true;
    });
    return started;
}

void USBUpdater::setUpdateSource(std::shared_ptr<UpdateSource> source)
{
    fPump->postSync([this, &source] {
        if (fState.load() == kIdle)
            fSource = std::move(source);
    });
}

void USBUpdater::DeviceConnected(std::shared_ptr<UpdateDevice> device)
{
    fPump->postSync([this, &device] {
        // A running update stays with the device it started on.
        if (fState.load() == kIdle || !fDevice)
            fDevice = std::move(device);
    });
    readTestStatusSync();
}

void USBUpdater::DeviceRemoved()
{
    fPump->postSync([this] {
        const State state = fState.load();
        if (state != kReboot && state != kIdle)
            finish(ErrDeviceRemoved{});
        fDevice.reset();
    });
}

void USBUpdater::readTestStatusSync()
{
    uint8_t status = 0;
    USBControlTransfer transfer{0xA1, 0xF1, 0, 0, 1, &status, 0};
    fTestStatus = fDevice && fDevice->getDevice().controlTransfer(transfer) && status != 0;
}

std::optional<USBUpdater::Result> USBUpdater::result() const
{
    std::lock_guard lock(fResultLock);
    return fResult;
}

void USBUpdater::imageArrived(uint64_t generation, const UpdateSource* source,
                              std::shared_ptr<std::vector<unsigned char>> image, bool failed)
{
    if (generation != fGeneration || fState.load() != kAcquire || source != fSource.get())
        return;
    // An empty, truncated or over-long image is never written.
    if (failed || !image || image->size() < kMinimumImageSize || image->size() >= kImageSizeLimit) {
        finish(ErrNoRunImage{});
        return;
    }
    fImage = std::move(image);
    fOffset = 0;
    fBlockNumber = 0;
    setState(kCompare, BusyChecking);
    ReceiveNextBlock();
}

void USBUpdater::setState(State state, std::optional<EBusyState> busy)
{
    fState.store(state);
    if (busy)
        fBusyState = *busy;
    publishProgress();
}

void USBUpdater::publishProgress()
{
    const uint64_t total = fImage ? (fImage->size() + kBlockSize - 1) / kBlockSize : 0;
    // The empty block that ends an image of whole blocks is not one more block done.
    fPublishedDone.store(std::min<uint64_t>(fBlockNumber, total));
    fPublishedTotal.store(total);
    fPublishedBusy.store(fBusyState);
}

void USBUpdater::finish(Result result)
{
    {
        std::lock_guard lock(fResultLock);
        fResult = result;
    }
    fDelegate.HandleUpdaterEvent(Finished);
    setState(kIdle, NotBusy);
}

void USBUpdater::request(USBControlTransfer transfer)
{
    fPump->post([this, transfer, generation = fGeneration, state = fState.load()]() mutable {
        // Queued before its update ended or moved on, or the engine is stopping: nothing is sent.
        if (generation != fGeneration || fState.load() != state || fStopping.load())
            return;
        const bool ok = fDevice && fDevice->getDevice().controlTransfer(transfer);
        fDelegate.AsyncEventCompleted(ok, ok ? (unsigned short)transfer.transferred : 0);
    });
}

void USBUpdater::ReceiveNextBlock()
{
    request({0xA1, 0x02, fBlockNumber++, 0, uint16_t(kBlockSize), fBuffer.data(), 0});
}

void USBUpdater::TransferNextBlock()
{
    if (!fImage || !fDevice || !fDevice->getDevice()) {
        finish(ErrDeviceRemoved{});
        return;
    }
    fChunkSize = std::min<uint64_t>(kBlockSize, fImage->size() - fOffset);
    std::copy_n(fImage->begin() + ptrdiff_t(fOffset), fChunkSize, fBuffer.begin());
    fOffset += fChunkSize;
    request({0x21, 0x01, fBlockNumber++, 0, uint16_t(fChunkSize), fBuffer.data(), 0});
}

void USBUpdater::GetStatus()
{
    // Its own zeroed buffer: a short reply must not leave a byte of the last block as the state.
    fStatus.fill(0);
    request({0xA1, 0x03, 0, 0, uint16_t(fStatus.size()), fStatus.data(), 0});
}

void USBUpdater::RebootToApp()
{
    setState(kReboot);
    fDelegate.HandleUpdaterEvent(Rebooting);
    request({0x21, 0xF0, 0, 0, 0, nullptr, 0});
}

USBUpdater::BlockCheck USBUpdater::VerifyBlock(unsigned long length)
{
    if (!fImage || length > fBuffer.size())
        return BlockCheck::Mismatch;
    const BlockCheck check =
        DeviceReplies::checkBlock(*fImage, fOffset, {fBuffer.data(), length}, kBlockSize);
    fOffset += length;
    return check;
}

void USBUpdater::AsyncRequestCallback(bool ok, unsigned short transferred)
{
    const State state = fState.load();
    if (state == kIdle || state == kAcquire)
        return;
    if (!ok && state != kReboot) {
        finish(ErrIOFailed{});
        return;
    }
    publishProgress();
    fDelegate.HandleUpdaterEvent(Progress);
    switch (state) {
    case kCompare:
        switch (VerifyBlock(transferred)) {
        case BlockCheck::MatchMore:
            ReceiveNextBlock();
            break;
        case BlockCheck::MatchComplete:
            RebootToApp();
            break;
        case BlockCheck::Mismatch:
            fBlockNumber = 0;
            fOffset = 0;
            setState(kDownload, BusyUpdating);
            TransferNextBlock();
            break;
        }
        break;
    case kDownload:
        setState(kStatus);
        GetStatus();
        break;
    case kStatus: {
        const DeviceReplies::StatusReading reading = DeviceReplies::readStatus(fStatus, transferred);
        if (reading == DeviceReplies::StatusReading::Unusable) {
            finish(ErrIOFailed{});
        } else if (reading == DeviceReplies::StatusReading::Busy) {
            GetStatus();
        } else if (fChunkSize == kBlockSize) {
            setState(kDownload, BusyUpdating);
            TransferNextBlock();
        } else {
            fBlockNumber = 0;
            fOffset = 0;
            setState(kVerify, BusyVerifying);
            ReceiveNextBlock();
        }
        break;
    }
    case kVerify:
        switch (VerifyBlock(transferred)) {
        case BlockCheck::MatchMore:
            ReceiveNextBlock();
            break;
        case BlockCheck::MatchComplete:
            RebootToApp();
            break;
        case BlockCheck::Mismatch:
            finish(ErrVerifyFailed{});
            break;
        }
        break;
    case kReboot:
        finish(Success{});
        break;
    case kAcquire:
    case kIdle:
        break;
    }
}
