#pragma once

// Providers notify the listeners of an interface L that registered with them. L derives from
// Dependent<L> and adds its callbacks; BroadcastMessage calls one of them on every listener. Either
// side may go away at any time, also in the middle of a broadcast: the provider's list lives in a
// shared implementation that a running broadcast keeps alive, and slots emptied during a walk are
// only compacted when the outermost walk ends. A provider, its listeners and its broadcasts belong
// to one thread; nothing here locks.

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <set>
#include <utility>
#include <vector>

namespace vork {

template <typename L>
class Provider;

template <typename L>
class Dependent;

namespace detail {

template <typename L>
struct ProviderImplementation
{
    // Held as the Dependent base, so that a listener in the middle of its destruction can still
    // be found and removed.
    std::vector<Dependent<L>*> fDependents;
    bool fNeedsCompaction = false;
    bool fBroadcasting = false;
    bool fDead = false;
};

template <typename L, typename Member, typename... Args>
void BroadcastImpl(std::shared_ptr<ProviderImplementation<L>> implementation, Member member, Args&&... args)
{
    const bool wasBroadcasting = implementation->fBroadcasting;
    implementation->fBroadcasting = true;
    auto& dependents = implementation->fDependents;
    const std::size_t count = dependents.size();
    for (std::size_t i = 0; i < count && i < dependents.size() && !implementation->fDead; ++i) {
        Dependent<L>* dependent = dependents[i];
        if (!dependent || dependent->isSilencedBy(implementation)) {
            continue;
        }
        try {
            // Each listener gets its own copies of the arguments.
            std::invoke(member, static_cast<L*>(dependent), args...);
        } catch (...) {
        }
    }
    implementation->fBroadcasting = wasBroadcasting;
    if (implementation->fNeedsCompaction && !wasBroadcasting && !implementation->fDead) {
        implementation->fNeedsCompaction = false;
        std::erase(dependents, nullptr);
    }
}

} // namespace detail

template <typename L>
class Provider
{
public:
    using Implementation = detail::ProviderImplementation<L>;

    Provider() : fImplementation(std::make_shared<Implementation>()) {}
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

    // Every listener still registered is unregistered and then told that this provider is going
    // away. While they are told the provider is still alive: a broadcast from a listener's callback
    // reaches the listeners not yet told. A broadcast that is still running stops before its next
    // listener once the provider is gone.
    virtual ~Provider()
    {
        Implementation& implementation = *fImplementation;
        const bool wasBroadcasting = implementation.fBroadcasting;
        implementation.fBroadcasting = true;
        auto& dependents = implementation.fDependents;
        const std::size_t count = dependents.size();
        for (std::size_t i = 0; i < count; ++i) {
            if (Dependent<L>* dependent = dependents[i]) {
                dependents[i] = nullptr;
                dependent->RemoveProvider(this);
                dependent->ProviderDying(this);
            }
        }
        // A listener that registered while the others were told is let go as well, so that none
        // keeps a pointer to this provider.
        for (Dependent<L>* dependent : dependents) {
            if (dependent) {
                dependent->RemoveProvider(this);
            }
        }
        dependents.clear();
        implementation.fDead = true;
        implementation.fBroadcasting = wasBroadcasting;
    }

    void AddDependentImpl(L* listener)
    {
        Dependent<L>* dependent = listener;
        Implementation& implementation = *fImplementation;
        if (std::find(implementation.fDependents.begin(), implementation.fDependents.end(), dependent) ==
            implementation.fDependents.end()) {
            implementation.fDependents.push_back(dependent);
        }
        try {
            dependent->AddProvider(this);
        } catch (...) {
            removeSlot(dependent);
        }
    }

    void RemoveDependentImpl(L* listener) { removeDependent(listener); }

    const std::shared_ptr<Implementation>& implementation() const { return fImplementation; }

private:
    friend class Dependent<L>;

    void removeDependent(Dependent<L>* dependent)
    {
        auto& dependents = fImplementation->fDependents;
        if (std::find(dependents.begin(), dependents.end(), dependent) == dependents.end()) {
            return;
        }
        dependent->RemoveProvider(this);
        removeSlot(dependent);
    }

    // A running walk keeps its indices: the slot is emptied and compacted when the walk ends.
    void removeSlot(Dependent<L>* dependent)
    {
        Implementation& implementation = *fImplementation;
        auto slot =
            std::find(implementation.fDependents.begin(), implementation.fDependents.end(), dependent);
        if (slot == implementation.fDependents.end()) {
            return;
        }
        if (implementation.fBroadcasting) {
            *slot = nullptr;
            implementation.fNeedsCompaction = true;
        } else {
            implementation.fDependents.erase(slot);
        }
    }

    std::shared_ptr<Implementation> fImplementation;
};

template <typename L>
class WithDependencySilenced;

template <typename L>
class Dependent
{
public:
    using Implementation = detail::ProviderImplementation<L>;

    Dependent() = default;
    Dependent(const Dependent&) = delete;
    Dependent& operator=(const Dependent&) = delete;

    virtual ~Dependent() { endAllDependencies(); }

    virtual void ProviderDying(Provider<L>*) {}

    void AddProvider(Provider<L>* provider)
    {
        if (std::find(fProviders.begin(), fProviders.end(), provider) == fProviders.end()) {
            fProviders.push_back(provider);
        }
    }

    void RemoveProvider(Provider<L>* provider)
    {
        auto found = std::find(fProviders.begin(), fProviders.end(), provider);
        if (found != fProviders.end()) {
            fProviders.erase(found);
        }
    }

    void endAllDependencies()
    {
        for (std::size_t count = fProviders.size(); count > 0 && !fProviders.empty(); --count) {
            fProviders.front()->removeDependent(this);
        }
    }

    void unsilenceProvider(const std::shared_ptr<Implementation>& implementation)
    {
        fSilenced.erase(implementation);
    }

    bool isSilencedBy(const std::shared_ptr<Implementation>& implementation) const
    {
        return fSilenced.count(implementation) != 0;
    }

    const std::vector<Provider<L>*>& providers() const { return fProviders; }

private:
    friend class WithDependencySilenced<L>;

    std::vector<Provider<L>*> fProviders;
    std::set<std::shared_ptr<Implementation>> fSilenced;
};

// Calls `member` with copies of `args` on every registered listener that is not silenced, in
// registration order. Listeners added meanwhile are not called; an exception from one listener
// is discarded and the walk goes on.
template <typename L, typename Member, typename... Args>
void BroadcastMessage(Provider<L>* provider, Member member, Args&&... args)
{
    detail::BroadcastImpl(provider->implementation(), member, std::forward<Args>(args)...);
}

// Mutes one provider for one listener while the guard lives. The first of several guards for the
// same pair to end lifts the silencing. Movable, so that guards can be kept in a container.
template <typename L>
class WithDependencySilenced
{
public:
    WithDependencySilenced(Provider<L>* provider, Dependent<L>* dependent)
        : fDependent(dependent), fImplementation(provider->implementation())
    {
        fDependent->fSilenced.insert(fImplementation);
    }

    WithDependencySilenced(WithDependencySilenced&& other) noexcept
        : fDependent(std::exchange(other.fDependent, nullptr)),
          fImplementation(std::move(other.fImplementation))
    {}

    WithDependencySilenced& operator=(WithDependencySilenced&& other) noexcept
    {
        if (this != &other) {
            lift();
            fDependent = std::exchange(other.fDependent, nullptr);
            fImplementation = std::move(other.fImplementation);
        }
        return *this;
    }

    WithDependencySilenced(const WithDependencySilenced&) = delete;
    WithDependencySilenced& operator=(const WithDependencySilenced&) = delete;

    ~WithDependencySilenced() { lift(); }

private:
    void lift() noexcept
    {
        if (fDependent && fImplementation) {
            fDependent->unsilenceProvider(fImplementation);
        }
    }

    Dependent<L>* fDependent;
    std::shared_ptr<detail::ProviderImplementation<L>> fImplementation;
};

} // namespace vork
