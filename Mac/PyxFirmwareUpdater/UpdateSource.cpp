#include <UpdateSource.h>

#include <FirmwareVersion.h>

#include <FileData.h>

UString AcquisitionError::getDescription() const
{
    return UString("Error reading file", UString::kUTF8);
}

UpdateSource::FileRead UpdateSource::readFile(const std::string& path)
{
    vork::FileData data(path);
    const auto measured = uint64_t(data.size());
    return {measured, data.readEntirety()};
}

UpdateSource::UpdateSource(Pellix::FileSpecification file, Reader reader)
    : fFile(std::move(file)), fReader(std::move(reader)),
      fDispatcher(
          std::make_unique<vork::RunLoopDispatcher<Message, 100>>([](const Message& message) { message(); })),
      fPump(std::make_unique<vork::MessagePump<Message, 100>>([](const Message& message) { message(); }))
{
    fPump->start();
}

UpdateSource::~UpdateSource()
{
    fPendingCallbacks.clear();
    fPump.reset();
    fDispatcher.reset();
}

void UpdateSource::acquireVersionInfo(Callback callback)
{
    acquire(std::move(callback));
}

void UpdateSource::acquire(Callback callback)
{
    if (fAcquireState == Acquired) {
        callback(this, std::nullopt);
        return;
    }
    fPendingCallbacks.push_back(std::move(callback));
    if (fAcquireState == Acquiring)
        return;
    fAcquireState = Acquiring;
    fPump->post([this] { readOnPump(); });
}

void UpdateSource::readOnPump()
{
    // The path's UTF-8 form is its name on the file system.
    const std::string path = fFile.GetFullPath().string(UString::kUTF8, ' ', false);
    std::optional<FileRead> read;
    try {
        read = fReader(path);
    } catch (...) {
    }
    // A read that ends early would pass for a shorter image.
    if (!read || read->bytes.size() != read->measured) {
        fDispatcher->post([this] { failAcquisition({AcquisitionError::FileError{}}); });
        return;
    }
    auto image = std::make_shared<std::vector<uint8_t>>(std::move(read->bytes));
    fDispatcher->post([this, image] {
        fRunImage = image;
        setAcquireState(Acquired);
    });
}

void UpdateSource::failAcquisition(const AcquisitionError& error)
{
    fAcquireState = NotAcquired;
    auto callbacks = std::exchange(fPendingCallbacks, {});
    for (auto& callback : callbacks)
        callback(this, error);
}

void UpdateSource::setAcquireState(AcquireState state)
{
    fAcquireState = state;
    if (state != Acquired)
        return;
    auto callbacks = std::exchange(fPendingCallbacks, {});
    for (auto& callback : callbacks)
        callback(this, std::nullopt);
}

std::string UpdateSource::getVersionInfo() const
{
    if (!fRunImage)
        return {};
    return FirmwareVersion::fromImage(*fRunImage).toString();
}

void UpdateSource::getAcquireProgress(unsigned long long& done, unsigned long long& total) const
{
    done = fRunImage ? 1 : 0;
    total = 1;
}
