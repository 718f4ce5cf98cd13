#include <UpdateSource.h>

#include <FirmwareVersion.h>

#include <FileData.h>

UString AcquisitionError::getDescription() const
{
    if (const auto* download = std::get_if<DownloadError>(&error))
        return download->getDescription();
    return UString("Error reading file", UString::kUTF8);
}

UpdateSource::FileRead UpdateSource::readFile(const std::string& path)
{
    vork::FileData data(path);
    const auto measured = uint64_t(data.size());
    return {measured, data.readEntirety()};
}

UpdateSource::UpdateSource(VorkDownload, DownloadCache* cache)
    : UpdateSource(VorkDownload{}, cache ? cache : DownloadCache::Get(), nullptr)
{}

UpdateSource::UpdateSource(Pellix::FileSpecification file, Reader reader)
    : UpdateSource(std::move(file), nullptr, std::move(reader))
{}

UpdateSource::UpdateSource(std::variant<VorkDownload, Pellix::FileSpecification> source, DownloadCache* cache,
                           Reader reader)
    : fSource(std::move(source)), fCache(cache), fReader(std::move(reader)),
      fDispatcher(
          std::make_unique<vork::RunLoopDispatcher<Message, 100>>([](const Message& message) { message(); })),
      fPump(std::make_unique<vork::MessagePump<Message, 100>>([](const Message& message) { message(); }))
{
    fPump->start();
}

UpdateSource::~UpdateSource()
{
    // Late answers of the download cache are dropped from here on.
    fZombieDetector.reset();
    fPendingCallbacks.clear();
    fPump.reset();
    fDispatcher.reset();
}

void UpdateSource::acquireVersionInfo(Callback callback)
{
    if (std::holds_alternative<Pellix::FileSpecification>(fSource)) {
        acquire(std::move(callback));
        return;
    }
    // An answer for a source that has gone would pass for its successor's.
    fCache->getJsonDataAsync(
        [this, alive = fZombieDetector->watch(), callback](const DownloadCache::JsonResult& result) {
            if (!alive.lock())
                return;
            if (const auto* error = std::get_if<DownloadError>(&result))
                callback(this, AcquisitionError{*error});
            else
                callback(this, std::nullopt);
        });
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
    if (const auto* file = std::get_if<Pellix::FileSpecification>(&fSource))
        fPump->post([this, file = *file] { readOnPump(file); });
    else
        acquireFromServer();
}

void UpdateSource::acquireFromServer()
{
    if (auto image = fCache->getRunImage()) {
        fRunImage = std::move(image);
        setAcquireState(Acquired);
        return;
    }
    fCache->acquireRunImageAsync(
        [this, alive = fZombieDetector->watch()](const DownloadCache::ImageResult& result) {
            if (!alive.lock())
                return;
            if (const auto* error = std::get_if<DownloadError>(&result)) {
                failAcquisition({*error});
                return;
            }
            fRunImage = std::get<DownloadCache::Image>(result);
            setAcquireState(Acquired);
        });
}

void UpdateSource::readOnPump(const Pellix::FileSpecification& file)
{
    // The path's UTF-8 form is its name on the file system.
    const std::string path = file.GetFullPath().string(UString::kUTF8, ' ', false);
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
    if (std::holds_alternative<VorkDownload>(fSource)) {
        const auto json = fCache->getJsonData();
        return json ? json->version : std::string();
    }
    if (!fRunImage)
        return {};
    return FirmwareVersion::fromImage(*fRunImage).toString();
}

void UpdateSource::getAcquireProgress(unsigned long long& done, unsigned long long& total) const
{
    if (std::holds_alternative<VorkDownload>(fSource)) {
        if (!fCache->getRunImageProgress(done, total)) {
            done = 0;
            total = 1;
        }
        return;
    }
    done = fRunImage ? 1 : 0;
    total = 1;
}
