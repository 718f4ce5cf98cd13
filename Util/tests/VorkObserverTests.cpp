#include "VorkAllocationCounter.h"

#include <Observer.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct ChangeListener : vork::Dependent<ChangeListener>
{
    virtual void changed(int) {}
};

using ChangeProvider = vork::Provider<ChangeListener>;

// Records its callbacks in a shared log and runs a scripted action in `changed`.
struct Recorder : ChangeListener
{
    Recorder(std::string name, std::vector<std::string>& log) : fName(std::move(name)), fLog(log) {}

    void changed(int value) override
    {
        fLog.push_back(fName + " changed " + std::to_string(value));
        if (fAction) {
            fAction(value);
        }
    }

    void ProviderDying(vork::Provider<ChangeListener>* provider) override
    {
        fLog.push_back(fName + " dying");
        if (fDyingAction) {
            fDyingAction(provider);
        }
    }

    std::string fName;
    std::vector<std::string>& fLog;
    std::function<void(int)> fAction;
    std::function<void(vork::Provider<ChangeListener>*)> fDyingAction;
};

struct Broadcast
{
    Broadcast()
    {
        for (int i = 1; i <= 3; ++i) {
            fListeners.push_back(std::make_unique<Recorder>(std::to_string(i), fLog));
            fProvider->AddDependentImpl(fListeners.back().get());
        }
    }

    void send(int value) { vork::BroadcastMessage(fProvider.get(), &ChangeListener::changed, value); }

    const std::vector<vork::Dependent<ChangeListener>*>& slots() const
    {
        return fProvider->implementation()->fDependents;
    }

    std::vector<std::string> fLog;
    std::unique_ptr<ChangeProvider> fProvider = std::make_unique<ChangeProvider>();
    std::vector<std::unique_ptr<Recorder>> fListeners;
};

using Log = std::vector<std::string>;

void removesItself(Broadcast& broadcast)
{
    broadcast.fListeners[0]->fAction = [&](int) {
        broadcast.fProvider->RemoveDependentImpl(broadcast.fListeners[0].get());
    };
    broadcast.send(1);
    EXPECT_EQ(broadcast.fLog, (Log{"1 changed 1", "2 changed 1", "3 changed 1"}));
    EXPECT_EQ(broadcast.slots().size(), 2u);
    EXPECT_EQ(std::count(broadcast.slots().begin(), broadcast.slots().end(), nullptr), 0);
    broadcast.fLog.clear();
    broadcast.send(2);
    EXPECT_EQ(broadcast.fLog, (Log{"2 changed 2", "3 changed 2"}));
}

void addsAListener(Broadcast& broadcast)
{
    Recorder added("X", broadcast.fLog);
    broadcast.fListeners[0]->fAction = [&](int) { broadcast.fProvider->AddDependentImpl(&added); };
    broadcast.send(1);
    EXPECT_EQ(broadcast.fLog, (Log{"1 changed 1", "2 changed 1", "3 changed 1"}));
    broadcast.fLog.clear();
    broadcast.send(2);
    EXPECT_EQ(broadcast.fLog, (Log{"1 changed 2", "2 changed 2", "3 changed 2", "X changed 2"}));
}

void destroysTheProvider(Broadcast& broadcast)
{
    broadcast.fListeners[0]->fAction = [&](int) { broadcast.fProvider.reset(); };
    broadcast.send(1);
    EXPECT_EQ(broadcast.fLog, (Log{"1 changed 1", "1 dying", "2 dying", "3 dying"}));
    for (auto& listener : broadcast.fListeners) {
        EXPECT_TRUE(listener->providers().empty());
    }
}

void destroysListenerTwo(Broadcast& broadcast)
{
    broadcast.fListeners[0]->fAction = [&](int) { broadcast.fListeners[1].reset(); };
    broadcast.send(1);
    EXPECT_EQ(broadcast.fLog, (Log{"1 changed 1", "3 changed 1"}));
    EXPECT_EQ(broadcast.slots(), (std::vector<vork::Dependent<ChangeListener>*>{
                                     broadcast.fListeners[0].get(), broadcast.fListeners[2].get()}));
}

void broadcastsAgain(Broadcast& broadcast)
{
    std::size_t slotsAfterNestedWalk = 0;
    broadcast.fListeners[0]->fAction = [&](int value) {
        if (value == 1) {
            broadcast.send(2);
            slotsAfterNestedWalk = broadcast.slots().size();
        }
    };
    broadcast.fListeners[1]->fAction = [&](int) {
        broadcast.fProvider->RemoveDependentImpl(broadcast.fListeners[1].get());
    };
    broadcast.send(1);
    EXPECT_EQ(broadcast.fLog,
              (Log{"1 changed 1", "1 changed 2", "2 changed 2", "3 changed 2", "3 changed 1"}));
    EXPECT_EQ(slotsAfterNestedWalk, 3u);
    EXPECT_EQ(broadcast.slots().size(), 2u);
}

void throws(Broadcast& broadcast)
{
    broadcast.fListeners[0]->fAction = [](int) { throw std::runtime_error("listener failed"); };
    EXPECT_NO_THROW(broadcast.send(1));
    EXPECT_EQ(broadcast.fLog, (Log{"1 changed 1", "2 changed 1", "3 changed 1"}));
}

struct ObserverCase
{
    const char* fName;
    void (*fRun)(Broadcast&);
};

class Observer : public testing::TestWithParam<ObserverCase>
{};

TEST_P(Observer, ActionOfFirstListenerDuringBroadcast)
{
    Broadcast broadcast;
    GetParam().fRun(broadcast);
}

INSTANTIATE_TEST_SUITE_P(Actions, Observer,
                         testing::Values(ObserverCase{"RemovesItself", removesItself},
                                         ObserverCase{"AddsAListener", addsAListener},
                                         ObserverCase{"DestroysTheProvider", destroysTheProvider},
                                         ObserverCase{"DestroysListenerTwo", destroysListenerTwo},
                                         ObserverCase{"BroadcastsAgain", broadcastsAgain},
                                         ObserverCase{"Throws", throws}),
                         [](const testing::TestParamInfo<ObserverCase>& info) { return info.param.fName; });

// While the listeners are told, the provider is still alive for those not yet told; a listener
// already told is no longer registered.
TEST(ObserverDestruction, BroadcastFromAToldListenerReachesThoseNotYetTold)
{
    Broadcast broadcast;
    broadcast.fListeners[0]->fDyingAction = [](vork::Provider<ChangeListener>* provider) {
        vork::BroadcastMessage(provider, &ChangeListener::changed, 7);
    };
    broadcast.fProvider.reset();
    EXPECT_EQ(broadcast.fLog, (Log{"1 dying", "2 changed 7", "3 changed 7", "2 dying", "3 dying"}));
}

TEST(ObserverDestruction, ListenerRegisteringWhileToldKeepsNoLinkToTheProvider)
{
    Broadcast broadcast;
    Recorder late("late", broadcast.fLog);
    Recorder& first = *broadcast.fListeners[0];
    first.fDyingAction = [&](vork::Provider<ChangeListener>* provider) {
        provider->AddDependentImpl(&first);
        provider->AddDependentImpl(&late);
    };
    broadcast.fProvider.reset();
    EXPECT_TRUE(first.providers().empty());
    EXPECT_TRUE(late.providers().empty());
    EXPECT_EQ(broadcast.fLog, (Log{"1 dying", "2 dying", "3 dying"}));
}

TEST(ObserverSilencing, SkipsListenerWhileGuardLives)
{
    Broadcast broadcast;
    {
        vork::WithDependencySilenced<ChangeListener> guard(broadcast.fProvider.get(),
                                                           broadcast.fListeners[1].get());
        broadcast.send(1);
    }
    broadcast.send(2);
    EXPECT_EQ(broadcast.fLog,
              (Log{"1 changed 1", "3 changed 1", "1 changed 2", "2 changed 2", "3 changed 2"}));
}

TEST(ObserverSilencing, GuardMovedIntoVectorSilencesUntilItsElementEnds)
{
    Broadcast broadcast;
    std::vector<vork::WithDependencySilenced<ChangeListener>> guards;
    guards.emplace_back(broadcast.fProvider.get(), broadcast.fListeners[0].get());
    // Growing the vector moves the first guard; the moved-from guards must not lift it.
    for (int i = 0; i < 8; ++i) {
        guards.emplace_back(broadcast.fProvider.get(), broadcast.fListeners[2].get());
    }
    guards.erase(guards.begin() + 1, guards.end());
    broadcast.send(1);
    guards.clear();
    broadcast.send(2);
    EXPECT_EQ(broadcast.fLog,
              (Log{"2 changed 1", "3 changed 1", "1 changed 2", "2 changed 2", "3 changed 2"}));
}

TEST(ObserverRegistration, TwiceKeepsOneEntryOnEachSide)
{
    Broadcast broadcast;
    Recorder& first = *broadcast.fListeners[0];
    broadcast.fProvider->AddDependentImpl(&first);
    EXPECT_EQ(broadcast.slots().size(), 3u);
    EXPECT_EQ(first.providers().size(), 1u);
}

TEST(ObserverRegistration, FailingAddProviderUndoesRegistration)
{
    Broadcast broadcast;
    std::vector<std::string> log;
    Recorder late("late", log);
    // The provider's list has room, so the only allocation is the listener's own.
    broadcast.fProvider->RemoveDependentImpl(broadcast.fListeners[2].get());
    VorkTesting::failNextAllocation();
    EXPECT_NO_THROW(broadcast.fProvider->AddDependentImpl(&late));
    EXPECT_EQ(broadcast.slots().size(), 2u);
    EXPECT_TRUE(late.providers().empty());
    broadcast.send(1);
    EXPECT_TRUE(log.empty());
}

TEST(ObserverRegistration, DestroyedListenerUnregistersItself)
{
    Broadcast broadcast;
    broadcast.fListeners[1].reset();
    broadcast.send(1);
    EXPECT_EQ(broadcast.fLog, (Log{"1 changed 1", "3 changed 1"}));
    EXPECT_EQ(broadcast.slots().size(), 2u);
}

} // namespace
