#include "DriverRegistry.h"

#include "Properties.h"
#include "ServiceState.h"
#include "UserClientProvider.h"

#include <DriverKit/platform/MatchingLayers.h>
#include <DriverKit/platform/UserClientAdapters.h>

#include <DriverKit/OSNumber.h>
#include <DriverKit/OSString.h>
#include <USBDriverKit/IOUSBHostDevice.h>
#include <USBDriverKit/IOUSBHostInterface.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace DriverKitPlatform {

namespace {

struct ClassEntry
{
    std::string base;
    OSObject* (*factory)();
};

struct Tables
{
    std::mutex lock;
    std::map<std::string, ClassEntry> classes{
        {"IOService", {"", nullptr}},
        {"IOUserClient", {"IOService", nullptr}},
        {"IOUSBHostDevice", {"IOService", []() -> OSObject* { return new IOUSBHostDevice; }}},
        {"IOUSBHostInterface", {"IOService", []() -> OSObject* { return new IOUSBHostInterface; }}},
    };
    std::vector<OSDictionary*> personalities;
    std::vector<IOService*> roots;
    std::map<std::string, UserClientProviderWrapper> providerWrappers;
    std::vector<MatchingLayer*> layers;
};

Tables& tables()
{
    static Tables* instance = new Tables;
    return *instance;
}

constexpr const char* kUSBKeys[] = {"idVendor",          "idProduct",       "bConfigurationValue",
                                    "bInterfaceNumber",  "bInterfaceClass", "bInterfaceSubClass",
                                    "bInterfaceProtocol"};

uint64_t numberOf(const OSObject* object, uint64_t fallback)
{
    const auto* number = dynamic_cast<const OSNumber*>(object);
    return number ? number->unsigned64BitValue() : fallback;
}

const char* stringOf(const OSObject* object)
{
    const auto* string = dynamic_cast<const OSString*>(object);
    return string ? string->getCStringNoCopy() : nullptr;
}

bool personalityFits(const OSDictionary* personality, IOService* nub)
{
    ServiceState& state = nub->platformState();
    const char* provider = stringOf(personality->getObject("IOProviderClass"));
    if (provider == nullptr) {
        return false;
    }
    std::string wanted = provider;
    if (wanted == "IOUSBDevice") {
        wanted = "IOUSBHostDevice";
    }
    if (std::find(state.classChain.begin(), state.classChain.end(), wanted) == state.classChain.end()) {
        return false;
    }
    std::lock_guard lock(state.lock);
    for (const char* key : kUSBKeys) {
        const OSObject* expected = personality->getObject(key);
        if (expected == nullptr) {
            continue;
        }
        const OSObject* actual = state.properties ? state.properties->getObject(key) : nullptr;
        if (actual == nullptr || numberOf(actual, ~0ull) != numberOf(expected, ~1ull)) {
            return false;
        }
    }
    return true;
}

bool hasDriver(IOService* nub)
{
    ServiceState& state = nub->platformState();
    std::lock_guard lock(state.lock);
    return state.drivenByOtherLayer ||
           std::any_of(state.children.begin(), state.children.end(),
                       [](IOService* child) { return child->platformState().started; });
}

std::vector<IOService*> retainedChildren(IOService* service)
{
    ServiceState& state = service->platformState();
    std::lock_guard lock(state.lock);
    for (IOService* child : state.children) {
        child->retain();
    }
    return state.children;
}

std::vector<IOService*> retainedRoots()
{
    Tables& t = tables();
    std::lock_guard lock(t.lock);
    for (IOService* root : t.roots) {
        root->retain();
    }
    return t.roots;
}

std::vector<MatchingLayer*> matchingLayers()
{
    Tables& t = tables();
    std::lock_guard lock(t.lock);
    return t.layers;
}

void matchTree(IOService* service)
{
    if (service->platformState().classChain.empty()) {
        return;
    }
    const std::string& cls = service->platformState().classChain.front();
    if (cls == "IOUSBHostDevice" || cls == "IOUSBHostInterface") {
        match(service);
    }
    for (IOService* child : retainedChildren(service)) {
        matchTree(child);
        child->release();
    }
}

void powerTree(IOService* service, uint32_t powerState)
{
    ServiceState& state = service->platformState();
    auto set = [&] {
        if (state.started && !state.terminated) {
            onDefaultQueue(service, [&] { service->SetPowerState(powerState); });
        }
    };
    // Sleep reaches clients before their providers, wake the other way round.
    if (powerState != 0) {
        set();
    }
    for (IOService* child : retainedChildren(service)) {
        powerTree(child, powerState);
        child->release();
    }
    if (powerState == 0) {
        set();
    }
}

} // namespace

std::vector<std::string> classChain(const std::string& name)
{
    Tables& t = tables();
    std::lock_guard lock(t.lock);
    std::vector<std::string> chain;
    for (std::string current = name; !current.empty() && chain.size() < 32;) {
        auto found = t.classes.find(current);
        if (found == t.classes.end()) {
            return {};
        }
        chain.push_back(current);
        current = found->second.base;
    }
    return chain.empty() || chain.back() != "IOService" ? std::vector<std::string>{} : chain;
}

void wrapUserClientProviders(const char* className, UserClientProviderWrapper wrapper)
{
    Tables& t = tables();
    std::lock_guard lock(t.lock);
    t.providerWrappers[className] = std::move(wrapper);
}

static std::shared_ptr<IOKitPlatform::UserClientProvider>
wrappedProvider(const std::vector<std::string>& chain,
                std::shared_ptr<IOKitPlatform::UserClientProvider> plain)
{
    UserClientProviderWrapper wrapper;
    {
        Tables& t = tables();
        std::lock_guard lock(t.lock);
        for (const std::string& name : chain) {
            if (auto found = t.providerWrappers.find(name); found != t.providerWrappers.end()) {
                wrapper = found->second;
                break;
            }
        }
    }
    return wrapper ? wrapper(std::move(plain)) : plain;
}

IOService* instantiate(const std::string& className, IOService* provider, const OSDictionary* properties)
{
    std::vector<std::string> chain = classChain(className);
    OSObject* (*factory)() = nullptr;
    {
        Tables& t = tables();
        std::lock_guard lock(t.lock);
        auto found = t.classes.find(className);
        factory = found == t.classes.end() ? nullptr : found->second.factory;
    }
    if (chain.empty() || factory == nullptr) {
        return nullptr;
    }
    OSObject* object = factory();
    auto* service = OSDynamicCast(IOService, object);
    if (service == nullptr) {
        if (object != nullptr) {
            object->release();
        }
        return nullptr;
    }
    ServiceState& state = service->platformState();
    OSDictionary* copy = OSDictionary::withCapacity(properties ? properties->getCount() : 0);
    if (IODispatchQueue::Create("Default", 0, 0, &state.defaultQueue) != kIOReturnSuccess ||
        copy == nullptr) {
        OSSafeReleaseNULL(copy);
        service->release();
        return nullptr;
    }
    if (properties != nullptr) {
        properties->iterateObjects([&](const char* key, OSObject* value) {
            copy->setObject(key, value);
            return false;
        });
    }
    state.properties = copy;
    state.classChain = chain;
    CFDictionaryRef cfProperties = copyPropertyDictionary(copy);
    state.entry = IOKitPlatform::RegistryEntry::create(chain, className, cfProperties);
    CFRelease(cfProperties);
    state.userClients = std::make_shared<ServiceUserClients>(service);
    state.entry->setUserClientProvider(wrappedProvider(chain, state.userClients));
    if (provider != nullptr) {
        ServiceState& parent = provider->platformState();
        state.entry->attachToParent(parent.entry);
        state.provider = provider;
        service->retain();
        std::lock_guard lock(parent.lock);
        parent.children.push_back(service);
    }
    return service;
}

void onDefaultQueue(IOService* service, const std::function<void()>& work)
{
    IODispatchQueue* queue = service->platformState().defaultQueue;
    if (queue->OnQueue()) {
        work();
    } else {
        queue->DispatchSync(work);
    }
}

bool start(IOService* service, IOService* provider)
{
    ServiceState& state = service->platformState();
    bool started = false;
    onDefaultQueue(service, [&] {
        // Marked before Start runs: a termination that comes meanwhile queues its Stop behind it.
        {
            std::lock_guard lock(state.lock);
            state.started = true;
        }
        started = service->init() && service->Start(provider) == kIOReturnSuccess;
        if (!started) {
            std::lock_guard lock(state.lock);
            state.started = false;
        }
    });
    if (started) {
        return true;
    }
    state.terminated = true;
    state.entry->terminate();
    detachFromProvider(service);
    return false;
}

namespace {

// Matching runs on one queue of its own, so two nubs or a nub and a new personality never race for a
// driver, and a Start that publishes nubs does not wait for itself.
IODispatchQueue* matchingQueue()
{
    static IODispatchQueue* queue = [] {
        IODispatchQueue* created = nullptr;
        IODispatchQueue::Create("DriverKit matching", 0, 0, &created);
        return created;
    }();
    return queue;
}

// The nub as another layer sees it; empty for a nub that is not on the bus.
USBNub describe(IOService* nub)
{
    USBNub description;
    description.fEntry = nub->platformState().entry;
    IOUSBHostDevice* device = OSDynamicCast(IOUSBHostDevice, nub);
    if (auto* interface = OSDynamicCast(IOUSBHostInterface, nub)) {
        description.fInterfaceNumber = interface->platformInterfaceNumber();
        device = OSDynamicCast(IOUSBHostDevice, nub->platformState().provider);
    }
    if (device == nullptr || !device->platformDevice()) {
        return {};
    }
    description.fDevice = device->platformDevice();
    description.fDeviceEntry = device->platformState().entry;
    for (IOService* child : retainedChildren(device)) {
        if (auto* interface = OSDynamicCast(IOUSBHostInterface, child)) {
            description.fInterfaces.emplace_back(interface->platformInterfaceNumber(),
                                                 interface->platformState().entry);
        }
        child->release();
    }
    return description;
}

MatchingCandidate personalityCandidate(OSDictionary* personality, IOService* nub)
{
    personality->retain();
    nub->retain();
    auto release = [personality, nub] {
        personality->release();
        nub->release();
    };
    return {int64_t(numberOf(personality->getObject("IOProbeScore"), 0)),
            [personality, nub, release] {
                const char* className = stringOf(personality->getObject("IOUserClass"));
                IOService* service = className ? instantiate(className, nub, personality) : nullptr;
                const bool started = service != nullptr && start(service, nub);
                OSSafeReleaseNULL(service);
                release();
                return started;
            },
            release};
}

void matchNow(IOService* nub)
{
    if (hasDriver(nub)) {
        return;
    }
    std::vector<OSDictionary*> personalities;
    {
        Tables& t = tables();
        std::lock_guard lock(t.lock);
        for (OSDictionary* personality : t.personalities) {
            personality->retain();
            personalities.push_back(personality);
        }
    }
    std::vector<MatchingCandidate> candidates;
    for (OSDictionary* personality : personalities) {
        if (personalityFits(personality, nub)) {
            candidates.push_back(personalityCandidate(personality, nub));
        }
        personality->release();
    }
    const USBNub description = describe(nub);
    for (MatchingLayer* layer : matchingLayers()) {
        if (description.fDevice) {
            for (MatchingCandidate& offered : layer->candidates(description)) {
                offered.fStart = [start = std::move(offered.fStart), nub] {
                    const bool started = start();
                    ServiceState& state = nub->platformState();
                    std::lock_guard lock(state.lock);
                    state.drivenByOtherLayer = started;
                    return started;
                };
                candidates.push_back(std::move(offered));
            }
        }
    }
    std::stable_sort(
        candidates.begin(), candidates.end(),
        [](const MatchingCandidate& a, const MatchingCandidate& b) { return a.fScore > b.fScore; });
    bool matched = false;
    for (MatchingCandidate& candidate : candidates) {
        if (matched) {
            candidate.fDiscard();
        } else {
            matched = candidate.fStart();
        }
    }
}

} // namespace

void match(IOService* nub)
{
    IODispatchQueue* queue = matchingQueue();
    if (queue->OnQueue()) {
        matchNow(nub);
    } else {
        queue->DispatchSync([&] { matchNow(nub); });
    }
}

void matchLater(IOService* nub)
{
    nub->retain();
    matchingQueue()->DispatchAsync([nub] {
        matchNow(nub);
        nub->release();
    });
}

void detachFromProvider(IOService* service)
{
    IOService* provider = service->platformState().provider;
    if (provider == nullptr) {
        return;
    }
    ServiceState& parent = provider->platformState();
    bool found = false;
    {
        std::lock_guard lock(parent.lock);
        auto at = std::find(parent.children.begin(), parent.children.end(), service);
        if (at != parent.children.end()) {
            parent.children.erase(at);
            found = true;
        }
    }
    if (found) {
        service->release();
    }
}

void terminate(IOService* service)
{
    for (IOService* child : retainedChildren(service)) {
        terminate(child);
        detachFromProvider(child);
        child->release();
    }
    ServiceState& state = service->platformState();
    bool stop;
    {
        std::lock_guard lock(state.lock);
        stop = state.started && !state.terminated;
        state.terminated = true;
    }
    if (stop) {
        onDefaultQueue(service, [&] { service->Stop(state.provider); });
    }
    state.entry->terminate();
}

void addRoot(IOService* nub)
{
    Tables& t = tables();
    nub->retain();
    std::lock_guard lock(t.lock);
    t.roots.push_back(nub);
}

void removeRoot(IOService* nub)
{
    Tables& t = tables();
    {
        std::lock_guard lock(t.lock);
        auto at = std::find(t.roots.begin(), t.roots.end(), nub);
        if (at == t.roots.end()) {
            return;
        }
        t.roots.erase(at);
    }
    nub->release();
}

void setPowerStateEverywhere(uint32_t state)
{
    const std::vector<MatchingLayer*> layers = matchingLayers();
    if (state == 0) {
        for (MatchingLayer* layer : layers) {
            layer->setSystemPowerState(state);
        }
    }
    const std::vector<IOService*> roots = retainedRoots();
    for (IOService* root : roots) {
        powerTree(root, state);
        root->release();
    }
    if (state != 0) {
        for (MatchingLayer* layer : layers) {
            layer->setSystemPowerState(state);
        }
    }
}

void deviceTerminating(IOService* device)
{
    for (MatchingLayer* layer : matchingLayers()) {
        layer->deviceTerminating(device->platformState().entry);
    }
}

void addMatchingLayer(MatchingLayer* layer)
{
    Tables& t = tables();
    std::lock_guard lock(t.lock);
    t.layers.push_back(layer);
}

void registerDriver(const std::vector<DriverClass>& classes, const std::vector<OSDictionary*>& personalities)
{
    {
        Tables& t = tables();
        std::lock_guard lock(t.lock);
        for (const DriverClass& driverClass : classes) {
            t.classes[driverClass.name] = {driverClass.base ? driverClass.base : "", driverClass.factory};
        }
        for (OSDictionary* personality : personalities) {
            personality->retain();
            t.personalities.push_back(personality);
        }
    }
    matchAgain();
}

void matchAgain()
{
    startUSB();
    const std::vector<IOService*> roots = retainedRoots();
    matchingQueue()->DispatchSync([&] {
        for (IOService* root : roots) {
            matchTree(root);
            root->release();
        }
    });
}

} // namespace DriverKitPlatform
