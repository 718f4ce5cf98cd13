#pragma once

// Toy drivers on the echo device and on the Korvan model, registered once per process.

#include <DriverKit/DriverKit.h>
#include <USBDriverKit/USBDriverKit.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace ToyDrivers {

constexpr uint16_t kKorvanVendor = 0x3A1C;

void registerAll();

// What the toys did, in order.
class Log
{
public:
    void add(std::string entry);
    std::vector<std::string> entries();
    void waitFor(const std::string& entry);
    void clear();

private:
    std::mutex fLock;
    std::condition_variable fChanged;
    std::vector<std::string> fEntries;
};

Log& log();

// What the echo toy's client saw of the last struct-method call.
struct CallRecord
{
    std::string input; // "none", "data" or "descriptor"
    uint64_t inputLength = 0;
    std::string output; // the same
    uint64_t outputLength = 0;
};
CallRecord lastCall();

class EchoToy : public IOService
{
public:
    kern_return_t Start(IOService* provider) override;
    kern_return_t Stop(IOService* provider) override;
    kern_return_t SetPowerState(uint32_t powerFlags) override;
    kern_return_t NewUserClient(uint32_t type, IOUserClient** userClient) override;
    void free() override;

    IOUSBHostInterface* interface() const { return fInterface; }
    IOBufferMemoryDescriptor* ring() const { return fRing; }
    // Releases the ring the clients map, as a driver does when it stops streaming.
    void dropRing();

private:
    IOUSBHostInterface* fInterface = nullptr;
    IOBufferMemoryDescriptor* fRing = nullptr;
};

// The started echo toy, or null.
EchoToy* echoToy();

// Streams isochronous IN and OUT and keeps eight interrupt reads queued on a Korvan model.
class KorvanToy : public IOService
{
public:
    kern_return_t Start(IOService* provider) override;
    kern_return_t Stop(IOService* provider) override;
    void free() override;

    // Runs on the toy's bus queue: starts or stops both streams.
    bool startStreaming();
    void stopStreaming();
    IODispatchQueue* busQueue() const { return fBusQueue; }
    IOUSBHostInterface* controlInterface() const { return fControl; }

    std::atomic<uint64_t> statusReads{0};
    std::atomic<uint64_t> inputCompletions{0};
    std::atomic<uint64_t> outputCompletions{0};
    std::atomic<uint64_t> submissionFailures{0};

    struct Slot;

private:
    friend struct Handlers;
    bool openStreaming();
    void submitInput(Slot& slot, uint64_t frame);
    // Queues the slot's transfer at `frame`, or at the next frame still ahead when that one has passed.
    bool schedule(IOUSBHostPipe* pipe, Slot& slot, uint64_t frame);

    IODispatchQueue* fBusQueue = nullptr;
    IOUSBHostInterface* fControl = nullptr;
    IOUSBHostInterface* fPlayback = nullptr;
    IOUSBHostInterface* fRecord = nullptr;
    IOUSBHostPipe* fStatusPipe = nullptr;
    IOUSBHostPipe* fInPipe = nullptr;
    IOUSBHostPipe* fOutPipe = nullptr;
    std::vector<Slot*> fStatusSlots;
    std::vector<Slot*> fInSlots;
    std::vector<Slot*> fOutSlots;
    size_t fNextOut = 0;
    uint32_t fInMaxPacket = 0;
    uint32_t fStatusPacket = 0;
    bool fStreaming = false;
};

KorvanToy* korvanToy();

} // namespace ToyDrivers
