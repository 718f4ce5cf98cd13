#pragma once

// Where the run image of the next update comes from: a file the user chose, read once on a worker
// thread of the source's own so that the main thread never waits for the disk. All state changes
// happen on the main thread.

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

struct AcquisitionError
{
    struct FileError
    {};

    std::variant<FileError> error;

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

    explicit UpdateSource(Pellix::FileSpecification file, Reader reader = &readFile);
    ~UpdateSource();
    UpdateSource(const UpdateSource&) = delete;
    UpdateSource& operator=(const UpdateSource&) = delete;

    // The version of a file is known only from its bytes, so this acquires it.
    void acquireVersionInfo(Callback callback);
    void acquire(Callback callback);
    // Empty until the bytes are held; then the header's version text.
    std::string getVersionInfo() const;
    void getAcquireProgress(unsigned long long& done, unsigned long long& total) const;
    AcquireState acquireState() const { return fAcquireState; }
    std::shared_ptr<std::vector<uint8_t>> runImage() const { return fRunImage; }
    const Pellix::FileSpecification& file() const { return fFile; }

private:
    using Message = vork::wrapped_lambda<void(), 1024, 8>;

    void setAcquireState(AcquireState state);
    void failAcquisition(const AcquisitionError& error);
    void readOnPump();

    Pellix::FileSpecification fFile;
    Reader fReader;
    AcquireState fAcquireState = NotAcquired;
    std::shared_ptr<std::vector<uint8_t>> fRunImage;
    std::unique_ptr<vork::RunLoopDispatcher<Message, 100>> fDispatcher;
    std::unique_ptr<vork::MessagePump<Message, 100>> fPump;
    std::vector<Callback> fPendingCallbacks;
};
