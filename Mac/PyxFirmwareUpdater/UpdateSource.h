#pragma once

// Where the run image of the next update comes from: the firmware server, through the process's
// download cache, or a file the user chose, read once on a worker thread of the source's own so that
// the main thread never waits for the disk. A source never changes its kind. All state changes
// happen on the main thread, and no answer reaches a source that has been destroyed.

#include <DownloadCache.h>
#include <DownloadError.h>
#include <ZombieDetector.h>

#include <File/FileLocation.h>
#include <MessagePump.h>
#include <RunLoopDispatcher.h>
#include <WrappedLambda.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// Take the image from the firmware server.
struct VorkDownload
{};

struct AcquisitionError
{
    struct FileError
    {};

    std::variant<DownloadError, FileError> error;

    UString getDescription() const;
};

class UpdateSource
{
public:
    enum AcquireState : int32_t
    {
        NotAcquired = 0,
        Acquiring = 1,
        Acquired = 2,
    };
    using Callback = std::function<void(UpdateSource*, std::optional<AcquisitionError>)>;

    // What a read of the file gave: the length measured at opening and the bytes read.
    struct FileRead
    {
        uint64_t measured = 0;
        std::vector<uint8_t> bytes;
    };
    // Reads the file at a path; throws when it cannot. Replaceable for tests of failing reads.
    using Reader = std::function<FileRead(const std::string& path)>;
    static FileRead readFile(const std::string& path);

    // From the given cache; the process's own by default.
    explicit UpdateSource(VorkDownload, DownloadCache* cache = nullptr);
    explicit UpdateSource(Pellix::FileSpecification file, Reader reader = &readFile);
    ~UpdateSource();
    UpdateSource(const UpdateSource&) = delete;
    UpdateSource& operator=(const UpdateSource&) = delete;

    // The server's version reply; for a file, whose version is known only from its bytes, the bytes.
    void acquireVersionInfo(Callback callback);
    void acquire(Callback callback);
    // The server's version text; for a file, empty until the bytes are held, then the header's.
    std::string getVersionInfo() const;
    void getAcquireProgress(unsigned long long& done, unsigned long long& total) const;
    AcquireState acquireState() const { return fAcquireState; }
    std::shared_ptr<std::vector<uint8_t>> runImage() const { return fRunImage; }
    const std::variant<VorkDownload, Pellix::FileSpecification>& source() const { return fSource; }

private:
    using Message = vork::wrapped_lambda<void(), 1024, 8>;

    UpdateSource(std::variant<VorkDownload, Pellix::FileSpecification> source, DownloadCache* cache,
                 Reader reader);

    void setAcquireState(AcquireState state);
    void failAcquisition(const AcquisitionError& error);
    void acquireFromServer();
    void readOnPump(const Pellix::FileSpecification& file);

    std::variant<VorkDownload, Pellix::FileSpecification> fSource;
    DownloadCache* fCache = nullptr;
    Reader fReader;
    AcquireState fAcquireState = NotAcquired;
    std::shared_ptr<std::vector<uint8_t>> fRunImage;
    std::unique_ptr<vork::RunLoopDispatcher<Message, 100>> fDispatcher;
    std::unique_ptr<vork::MessagePump<Message, 100>> fPump;
    std::vector<Callback> fPendingCallbacks;
    std::unique_ptr<ZombieDetector> fZombieDetector = std::make_unique<ZombieDetector>();
};
