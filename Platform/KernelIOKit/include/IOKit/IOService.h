#pragma once

// A kernel service: matched to a provider (probe, start), attached below it, published with
// registerService, terminated with its provider, and a power-managed device.

#include <IOKit/IORegistryEntry.h>
#include <IOKit/IOWorkLoop.h>

inline namespace kernel {

class IOUserClient;
struct IOServiceState;

typedef unsigned long IOPMPowerFlags;

struct IOPMPowerState
{
    unsigned long version;
    IOPMPowerFlags capabilityFlags;
    IOPMPowerFlags outputPowerCharacter;
    IOPMPowerFlags inputPowerRequirement;
    unsigned long staticPower;
    unsigned long unbudgetedPower;
    unsigned long powerToAttain;
    unsigned long timeToAttain;
    unsigned long settleUpTime;
    unsigned long timeToLower;
    unsigned long settleDownTime;
    unsigned long powerDomainBudget;
};

enum
{
    kIOPMPowerStateVersion1 = 1,
    kIOPMDeviceUsable = 0x00008000,
    kIOPMLowPower = 0x00000004,
    kIOPMPowerOn = 0x00000002,
    kIOPMAckImplied = 0,
};

class IOService : public IORegistryEntry
{
    OSDeclareDefaultStructors(IOService)

        public : bool init(OSDictionary* dictionary = nullptr) override;
    void free() override;

    // This service when it can drive the provider, else null; may lower or raise the score.
    virtual IOService* probe(IOService* provider, SInt32* score);
    virtual bool start(IOService* provider);
    virtual void stop(IOService* provider);

    // The service holds its provider while attached.
    virtual bool attach(IOService* provider);
    virtual void detach(IOService* provider);
    IOService* getProvider() const;

    // Called, from the top down, on every service below one that terminates before any of them
    // stops.
    virtual bool willTerminate(IOService* provider, IOOptionBits options);
    // Makes this service and everything below it inactive, then stops and detaches them leaf
    // first. False when it was already inactive.
    virtual bool terminate(IOOptionBits options = 0);
    bool isInactive() const;

    // One client at a time; false while another has it open or once inactive.
    virtual bool open(IOService* forClient, IOOptionBits options = 0, void* arg = nullptr);
    virtual void close(IOService* forClient, IOOptionBits options = 0);
    bool isOpen(const IOService* forClient = nullptr) const;

    // The provider's by default.
    virtual IOWorkLoop* getWorkLoop() const;

    // Publishes the service: user-space matching notifications fire now, and getMatchingServices
    // finds it.
    void registerService(IOOptionBits options = 0);
    // {"IOProviderClass": className}, added to `table` when given.
    static OSDictionary* serviceMatching(const char* className, OSDictionary* table = nullptr);
    // The published, active services of the class (or a subclass) the dictionary names, each held
    // by the iterator; null when the dictionary names no class.
    static OSIterator* getMatchingServices(OSDictionary* matching);

    // kIOReturnUnsupported unless a subclass makes clients.
    virtual IOReturn newUserClient(task_t owningTask, void* securityID, UInt32 type, OSDictionary* properties,
                                   IOUserClient** handler);

    // Demands on the system while the device runs; 0 removes the demand.
    IOReturn requireMaxBusStall(UInt32 nanoseconds);
    IOReturn requireMaxInterruptDelay(UInt32 nanoseconds);

    void PMinit();
    void PMstop();
    // Makes `driver` a power child of this service.
    void joinPMtree(IOService* driver);
    // The states are copied.
    IOReturn registerPowerDriver(IOService* controllingDriver, IOPMPowerState* powerStates,
                                 unsigned long numberOfStates);
    // Answers kIOPMAckImplied unless a subclass changes power.
    virtual IOReturn setPowerState(unsigned long powerStateOrdinal, IOService* whatDevice);

private:
    friend struct IOServiceAccess;
    IOServiceState* fServiceState = nullptr;
};

} // namespace kernel
