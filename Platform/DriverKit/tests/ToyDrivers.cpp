#include "ToyDrivers.h"

#include <DriverKit/platform/Drivers.h>

#include <cstring>
#include <mutex>

namespace ToyDrivers {

namespace {

std::atomic<EchoToy*> gEchoToy{nullptr};
std::atomic<KorvanToy*> gKorvanToy{nullptr};
std::mutex gCallLock;
CallRecord gLastCall;

constexpr uint64_t kRingBytes = 11'550'080;
constexpr uint32_t kSlots = 8;
constexpr uint32_t kEntries = 8;

class FailingEchoToy : public IOService
{
public:
    kern_return_t Start(IOService*) override
    {
        log().add("FailingEchoToy start");
        return kIOReturnError;
    }
};

class LowEchoToy : public IOService
{
public:
    kern_return_t Start(IOService* provider) override
    {
        log().add("LowEchoToy start");
        return IOService::Start(provider);
    }
};

class EchoToyClient : public IOUserClient
{
public:
    kern_return_t Start(IOService* provider) override
    {
        fProvider = OSDynamicCast(EchoToy, provider);
        log().add("EchoToyClient start");
        return IOUserClient::Start(provider);
    }

    kern_return_t Stop(IOService* provider) override
    {
        log().add("EchoToyClient stop");
        return IOUserClient::Stop(provider);
    }

    kern_return_t ExternalMethod(uint64_t selector, IOUserClientMethodArguments* arguments,
                                 const IOUserClientMethodDispatch* dispatch, OSObject* target,
                                 void* reference) override
    {
        if (selector == 1) {
            record(arguments);
            return kIOReturnSuccess;
        }
        if (selector == 2 && arguments->completion != nullptr) {
            const uint64_t values[2] = {7, 8};
            AsyncCompletion(arguments->completion, kIOReturnSuccess, values, 2);
            return kIOReturnSuccess;
        }
        return IOUserClient::ExternalMethod(selector, arguments, dispatch, target, reference);
    }

    kern_return_t CopyClientMemoryForType(uint64_t type, uint64_t* options,
                                          IOMemoryDescriptor** memory) override
    {
        if (type != 1 || fProvider == nullptr || fProvider->ring() == nullptr) {
            return kIOReturnBadArgument;
        }
        *options = 0;
        fProvider->ring()->retain();
        *memory = fProvider->ring();
        return kIOReturnSuccess;
    }

private:
    // Notes the forms the arguments came in, and fills the output: more than it can hold when it is
    // data (the platform copies what fits), all of it when it is a descriptor.
    static void record(IOUserClientMethodArguments* arguments)
    {
        CallRecord call{"none", 0, "none", 0};
        if (arguments->structureInput != nullptr) {
            call.input = "data";
            call.inputLength = arguments->structureInput->getLength();
        } else if (arguments->structureInputDescriptor != nullptr) {
            call.input = "descriptor";
            arguments->structureInputDescriptor->GetLength(&call.inputLength);
        }
        if (arguments->structureOutput != nullptr) {
            call.output = "data";
            call.outputLength = arguments->structureOutputMaximumSize;
            std::vector<uint8_t> bytes(call.outputLength + 10, 0xC3);
            arguments->structureOutput->appendBytes(bytes.data(), bytes.size());
        } else if (arguments->structureOutputDescriptor != nullptr) {
            call.output = "descriptor";
            arguments->structureOutputDescriptor->GetLength(&call.outputLength);
            IOMemoryMap* map = nullptr;
            if (arguments->structureOutputDescriptor->CreateMapping(0, 0, 0, 0, 0, &map) ==
                kIOReturnSuccess) {
                std::memset(reinterpret_cast<void*>(map->GetAddress()), 0xC3, map->GetLength());
                map->release();
            }
        }
        std::lock_guard lock(gCallLock);
        gLastCall = call;
    }

    EchoToy* fProvider = nullptr;
};

template <typename T>
OSObject* make()
{
    return new T;
}

OSDictionary* personality(const char* provider, const char* userClass, uint32_t score,
                          std::vector<std::pair<const char*, uint32_t>> keys,
                          const char* clientClass = nullptr)
{
    OSDictionary* dictionary = OSDictionary::withCapacity(8);
    auto setString = [](OSDictionary* d, const char* key, const char* value) {
        OSSharedPtr<OSString> string(OSString::withCString(value), OSNoRetain);
        d->setObject(key, string.get());
    };
    auto setNumber = [](OSDictionary* d, const char* key, uint64_t value) {
        OSSharedPtr<OSNumber> number(OSNumber::withNumber(value, 32), OSNoRetain);
        d->setObject(key, number.get());
    };
    setString(dictionary, "IOProviderClass", provider);
    setString(dictionary, "IOUserClass", userClass);
    setNumber(dictionary, "IOProbeScore", score);
    for (const auto& [key, value] : keys) {
        setNumber(dictionary, key, value);
    }
    if (clientClass != nullptr) {
        OSSharedPtr<OSDictionary> client(OSDictionary::withCapacity(1), OSNoRetain);
        setString(client.get(), "IOUserClass", clientClass);
        dictionary->setObject("UserClientProperties", client.get());
    }
    return dictionary;
}

} // namespace

void Log::add(std::string entry)
{
    std::lock_guard lock(fLock);
    fEntries.push_back(std::move(entry));
    fChanged.notify_all();
}

std::vector<std::string> Log::entries()
{
    std::lock_guard lock(fLock);
    return fEntries;
}

void Log::waitFor(const std::string& entry)
{
    std::unique_lock lock(fLock);
    fChanged.wait(lock, [&] { return std::find(fEntries.begin(), fEntries.end(), entry) != fEntries.end(); });
}

void Log::clear()
{
    std::lock_guard lock(fLock);
    fEntries.clear();
}

Log& log()
{
    static Log* instance = new Log;
    return *instance;
}

CallRecord lastCall()
{
    std::lock_guard lock(gCallLock);
    return gLastCall;
}

EchoToy* echoToy()
{
    return gEchoToy.load();
}

KorvanToy* korvanToy()
{
    return gKorvanToy.load();
}

kern_return_t EchoToy::Start(IOService* provider)
{
    kern_return_t status = IOService::Start(provider);
    fInterface = OSDynamicCast(IOUSBHostInterface, provider);
    if (status != kIOReturnSuccess || fInterface == nullptr) {
        return kIOReturnError;
    }
    fInterface->retain();
    fInterface->Open(this, 0, 0);
    IOBufferMemoryDescriptor::Create(kIOMemoryDirectionInOut, kRingBytes, 0, &fRing);
    IOAddressSegment range{};
    fRing->GetAddressRange(&range);
    auto* bytes = reinterpret_cast<uint8_t*>(range.address);
    bytes[0] = 0x11;
    bytes[kRingBytes - 1] = 0x22;
    OSSharedPtr<OSDictionary> properties(OSDictionary::withCapacity(1), OSNoRetain);
    OSSharedPtr<OSString> uid(OSString::withCString("echo-0001"), OSNoRetain);
    properties->setObject("ToyDeviceUID", uid.get());
    SetProperties(properties.get());
    RequireMaxBusStall(5000);
    RegisterService();
    gEchoToy = this;
    log().add("EchoToy start");
    return kIOReturnSuccess;
}

kern_return_t EchoToy::Stop(IOService* provider)
{
    log().add("EchoToy stop");
    gEchoToy = nullptr;
    fInterface->Close(this, 0);
    return IOService::Stop(provider);
}

kern_return_t EchoToy::SetPowerState(uint32_t powerFlags)
{
    log().add("EchoToy power " + std::to_string(powerFlags));
    return IOService::SetPowerState(powerFlags);
}

kern_return_t EchoToy::NewUserClient(uint32_t type, IOUserClient** userClient)
{
    if (type != 7) {
        return kIOReturnBadArgument;
    }
    IOService* client = nullptr;
    kern_return_t status = Create(this, "UserClientProperties", &client);
    if (status != kIOReturnSuccess) {
        return status;
    }
    *userClient = OSDynamicCast(IOUserClient, client);
    return kIOReturnSuccess;
}

void EchoToy::dropRing()
{
    IODispatchQueue* queue = nullptr;
    CopyDispatchQueue("Default", &queue);
    queue->DispatchSync([&] { OSSafeReleaseNULL(fRing); });
    queue->release();
}

void EchoToy::free()
{
    OSSafeReleaseNULL(fRing);
    OSSafeReleaseNULL(fInterface);
    IOService::free();
}

// The Korvan toy: a slot is one queued transfer, found again from its action's reference.
struct KorvanToy::Slot
{
    KorvanToy* toy = nullptr;
    IOBufferMemoryDescriptor* buffer = nullptr;
    IOBufferMemoryDescriptor* frames = nullptr;
    OSAction* action = nullptr;
    uint64_t frame = 0;
    bool busy = false;

    IOUSBIsochronousFrame* list() const
    {
        IOAddressSegment range{};
        frames->GetAddressRange(&range);
        return reinterpret_cast<IOUSBIsochronousFrame*>(range.address);
    }
    ~Slot()
    {
        OSSafeReleaseNULL(buffer);
        OSSafeReleaseNULL(frames);
        OSSafeReleaseNULL(action);
    }
};

struct Handlers
{
    static KorvanToy::Slot* slotOf(OSAction* action)
    {
        return *static_cast<KorvanToy::Slot**>(action->GetReference());
    }

    static void statusRead(OSObject*, OSAction* action, IOReturn status, uint32_t, uint64_t)
    {
        KorvanToy::Slot* slot = slotOf(action);
        if (status != kIOReturnSuccess) {
            return;
        }
        ++slot->toy->statusReads;
        if (slot->toy->fStatusPipe->AsyncIO(slot->buffer, slot->toy->fStatusPacket, action, 0) !=
            kIOReturnSuccess) {
            ++slot->toy->submissionFailures;
        }
    }

    static void inputDone(OSObject*, OSAction* action, IOReturn status)
    {
        KorvanToy::Slot* slot = slotOf(action);
        KorvanToy& toy = *slot->toy;
        if (status == kIOReturnAborted || !toy.fStreaming) {
            return;
        }
        ++toy.inputCompletions;
        // The output follows the frames the input brought, as the audio driver clocks it.
        KorvanToy::Slot& out = *toy.fOutSlots[toy.fNextOut++ % toy.fOutSlots.size()];
        if (!out.busy) {
            const IOUSBIsochronousFrame* in = slot->list();
            IOUSBIsochronousFrame* frames = out.list();
            for (uint32_t i = 0; i < kEntries; ++i) {
                frames[i] = {0, in[i].completeCount / 8 * 8, 0, 0, 0};
            }
            uint64_t current = 0;
            toy.fControl->GetFrameNumber(&current, nullptr);
            out.busy = toy.schedule(toy.fOutPipe, out, current + 2);
        }
        toy.submitInput(*slot, slot->frame + kSlots);
    }

    static void outputDone(OSObject*, OSAction* action, IOReturn status)
    {
        KorvanToy::Slot* slot = slotOf(action);
        slot->busy = false;
        if (status != kIOReturnAborted) {
            ++slot->toy->outputCompletions;
        }
    }
};

void KorvanToy::submitInput(Slot& slot, uint64_t frame)
{
    IOUSBIsochronousFrame* frames = slot.list();
    for (uint32_t i = 0; i < kEntries; ++i) {
        frames[i] = {0, fInMaxPacket, 0, 0, 0};
    }
    schedule(fInPipe, slot, frame);
}

bool KorvanToy::schedule(IOUSBHostPipe* pipe, Slot& slot, uint64_t frame)
{
    // A thread preempted between reading the frame number and queueing can find its frame gone.
    constexpr int kAttempts = 4;
    kern_return_t status = kIOReturnIsoTooOld;
    for (int attempt = 0; attempt < kAttempts && status == kIOReturnIsoTooOld; ++attempt) {
        if (attempt > 0) {
            fControl->GetFrameNumber(&frame, nullptr);
            frame += 2;
        }
        slot.frame = frame;
        status = pipe->IsochIO(slot.buffer, slot.frames, frame, slot.action);
    }
    submissionFailures += status == kIOReturnSuccess ? 0 : 1;
    return status == kIOReturnSuccess;
}

namespace {

KorvanToy::Slot* makeSlot(KorvanToy* toy, uint64_t bytes, OSAction* action)
{
    auto* slot = new KorvanToy::Slot;
    slot->toy = toy;
    IOBufferMemoryDescriptor::Create(kIOMemoryDirectionInOut, bytes, 0, &slot->buffer);
    IOBufferMemoryDescriptor::Create(kIOMemoryDirectionInOut, kEntries * sizeof(IOUSBIsochronousFrame), 0,
                                     &slot->frames);
    slot->action = action;
    *static_cast<KorvanToy::Slot**>(action->GetReference()) = slot;
    return slot;
}

} // namespace

kern_return_t KorvanToy::Start(IOService* provider)
{
    if (IOService::Start(provider) != kIOReturnSuccess) {
        return kIOReturnError;
    }
    fControl = OSDynamicCast(IOUSBHostInterface, provider);
    if (fControl == nullptr || fControl->Open(this, 0, 0) != kIOReturnSuccess) {
        return kIOReturnError;
    }
    fControl->retain();
    IODispatchQueue::Create("ToyBus", 0, 0, &fBusQueue);
    SetDispatchQueue("Bus", fBusQueue);
    IOUSBHostDevice* device = nullptr;
    fControl->CopyDevice(&device);
    OSSharedPtr<IOUSBHostDevice> held(device, OSNoRetain);
    const IOUSBConfigurationDescriptor* configuration = device->CopyConfigurationDescriptor();
    device->SetConfiguration(configuration->bConfigurationValue, false);
    IOUSBHostFreeDescriptor(configuration);

    if (fControl->CopyPipe(0x83, &fStatusPipe) == kIOReturnSuccess) {
        IOUSBStandardEndpointDescriptors descriptors{};
        fStatusPipe->GetDescriptors(&descriptors);
        fStatusPacket = IOUSBGetEndpointMaxPacketSize(&descriptors.descriptor);
        for (uint32_t i = 0; i < kSlots; ++i) {
            OSAction* action = nullptr;
            OSAction::Create(this, "Bus", sizeof(Slot*), &Handlers::statusRead, &action);
            Slot* slot = makeSlot(this, fStatusPacket, action);
            fStatusSlots.push_back(slot);
            fStatusPipe->AsyncIO(slot->buffer, fStatusPacket, action, 0);
        }
    }
    if (!openStreaming()) {
        return kIOReturnError;
    }
    for (uint32_t i = 0; i < kSlots; ++i) {
        OSAction* in = nullptr;
        OSAction::Create(this, "Bus", sizeof(Slot*), &Handlers::inputDone, &in);
        fInSlots.push_back(makeSlot(this, kEntries * 64, in));
        OSAction* out = nullptr;
        OSAction::Create(this, "Bus", sizeof(Slot*), &Handlers::outputDone, &out);
        fOutSlots.push_back(makeSlot(this, kEntries * 64, out));
    }
    gKorvanToy = this;
    log().add("KorvanToy start");
    return kIOReturnSuccess;
}

bool KorvanToy::openStreaming()
{
    IOUSBHostDevice* device = nullptr;
    fControl->CopyDevice(&device);
    OSSharedPtr<IOUSBHostDevice> held(device, OSNoRetain);
    uintptr_t iterator = 0;
    device->CreateInterfaceIterator(&iterator);
    IOUSBHostInterface* interface = nullptr;
    while (device->CopyInterface(iterator, &interface) == kIOReturnSuccess && interface != nullptr) {
        IOUSBHostInterface** slot = interface->platformInterfaceNumber() == 1   ? &fPlayback
                                    : interface->platformInterfaceNumber() == 2 ? &fRecord
                                                                                : nullptr;
        if (slot != nullptr && interface->Open(this, 0, 0) == kIOReturnSuccess) {
            *slot = interface;
        } else {
            interface->release();
        }
    }
    device->DestroyInterfaceIterator(iterator);
    return fPlayback != nullptr && fRecord != nullptr;
}

bool KorvanToy::startStreaming()
{
    bool started = false;
    fBusQueue->DispatchSync([&] {
        if (fRecord->SelectAlternateSetting(1) != kIOReturnSuccess ||
            fPlayback->SelectAlternateSetting(1) != kIOReturnSuccess ||
            fRecord->CopyPipe(0x82, &fInPipe) != kIOReturnSuccess ||
            fPlayback->CopyPipe(0x01, &fOutPipe) != kIOReturnSuccess) {
            return;
        }
        IOUSBStandardEndpointDescriptors descriptors{};
        fInPipe->GetDescriptors(&descriptors);
        fInMaxPacket = IOUSBGetEndpointMaxPacketSize(&descriptors.descriptor);
        fStreaming = true;
        uint64_t current = 0;
        fControl->GetFrameNumber(&current, nullptr);
        for (uint32_t i = 0; i < kSlots; ++i) {
            submitInput(*fInSlots[i], current + 2 + i);
        }
        started = true;
    });
    return started;
}

void KorvanToy::stopStreaming()
{
    fBusQueue->DispatchSync([&] { fStreaming = false; });
    if (fInPipe != nullptr) {
        fInPipe->Abort(kIOUSBAbortSynchronous, kIOReturnAborted, this);
        fOutPipe->Abort(kIOUSBAbortSynchronous, kIOReturnAborted, this);
    }
    fBusQueue->DispatchSync([&] {
        OSSafeReleaseNULL(fInPipe);
        OSSafeReleaseNULL(fOutPipe);
        fRecord->SelectAlternateSetting(0);
        fPlayback->SelectAlternateSetting(0);
    });
}

kern_return_t KorvanToy::Stop(IOService* provider)
{
    log().add("KorvanToy stop");
    gKorvanToy = nullptr;
    if (fStreaming) {
        stopStreaming();
    }
    if (fStatusPipe != nullptr) {
        fStatusPipe->Abort(kIOUSBAbortSynchronous, kIOReturnAborted, this);
    }
    for (IOUSBHostInterface* interface : {fPlayback, fRecord, fControl}) {
        if (interface != nullptr) {
            interface->Close(this, 0);
        }
    }
    return IOService::Stop(provider);
}

void KorvanToy::free()
{
    for (auto* slots : {&fStatusSlots, &fInSlots, &fOutSlots}) {
        for (Slot* slot : *slots) {
            delete slot;
        }
    }
    OSSafeReleaseNULL(fStatusPipe);
    OSSafeReleaseNULL(fInPipe);
    OSSafeReleaseNULL(fOutPipe);
    OSSafeReleaseNULL(fPlayback);
    OSSafeReleaseNULL(fRecord);
    OSSafeReleaseNULL(fControl);
    OSSafeReleaseNULL(fBusQueue);
    IOService::free();
}

void registerAll()
{
    static std::once_flag once;
    std::call_once(once, [] {
        std::vector<OSDictionary*> personalities{
            personality("IOUSBHostInterface", "FailingEchoToy", 9000,
                        {{"idVendor", 0x1209}, {"bInterfaceNumber", 0}}),
            personality("IOUSBHostInterface", "EchoToy", 5000,
                        {{"idVendor", 0x1209}, {"bInterfaceNumber", 0}}, "EchoToyClient"),
            personality("IOUSBHostInterface", "LowEchoToy", 100,
                        {{"idVendor", 0x1209}, {"bInterfaceNumber", 0}}),
            personality("IOUSBHostInterface", "KorvanToy", 1000,
                        {{"idVendor", kKorvanVendor}, {"bInterfaceNumber", 0}, {"bInterfaceClass", 1}}),
        };
        DriverKitPlatform::registerDriver(
            {
                {"FailingEchoToy", "IOService", &make<FailingEchoToy>},
                {"EchoToy", "IOService", &make<EchoToy>},
                {"LowEchoToy", "IOService", &make<LowEchoToy>},
                {"EchoToyClient", "IOUserClient", &make<EchoToyClient>},
                {"KorvanToy", "IOService", &make<KorvanToy>},
            },
            personalities);
        for (OSDictionary* dictionary : personalities) {
            dictionary->release();
        }
    });
}

} // namespace ToyDrivers
