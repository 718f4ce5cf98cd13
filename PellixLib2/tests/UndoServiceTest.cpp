#include "Undo/UndoService.h"
#include "Undo/UndoItemAccess.h"
#include "Undo/Undoable.h"

#include "ChildProcess.h"
#include "FixtureBundle.h"
#include "ResourceAccess/ResourceAccess.h"
#include "TestText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

namespace {

using Pellix::SimpleUndoItem;
using Pellix::Undoable;
using Pellix::UndoItem;
using Pellix::UndoService;
using Pellix::UUIDObj;

// Every object's ApplyUndoItem, in call order.
std::vector<const Undoable*> gApplied;

// An object holding one value that reports every change; applying a saved state reports it too,
// inside a recording of its own, as an application's setter would. Like the service's own
// reference, its reference to the service is weak, so that it does not keep the service alive.
template <typename T>
class Value : public Undoable
{
public:
    explicit Value(std::shared_ptr<UndoService> service, T initial = T()) : fService(service), fValue(initial)
    {
        Connect(service);
    }

    void Set(T value)
    {
        auto before = std::make_unique<SimpleUndoItem<T>>(fValue);
        fValue = value;
        UndoableChanged(std::move(before), std::make_unique<SimpleUndoItem<T>>(fValue));
    }
    const T& Get() const { return fValue; }

    void ApplyUndoItem(UndoItem* item) override
    {
        gApplied.push_back(this);
        auto* saved = dynamic_cast<SimpleUndoItem<T>*>(item);
        ASSERT_NE(saved, nullptr);
        const std::shared_ptr<UndoService> service = fService.lock();
        ASSERT_NE(service, nullptr);
        service->BeginRecording(UString(L"apply"));
        Set(saved->GetValue());
        service->EndRecording();
    }

private:
    std::weak_ptr<UndoService> fService;
    T fValue;
};

// An object that leaves while it applies a saved state: it disconnects, or its owner destroys it.
enum class Leaving
{
    kDisconnects,
    kIsDestroyed,
};

class LeavingValue : public Value<float>
{
public:
    LeavingValue(std::shared_ptr<UndoService> service, Leaving how, std::unique_ptr<LeavingValue>& owner)
        : Value<float>(service), fHow(how), fOwner(owner)
    {}

    void ApplyUndoItem(UndoItem* item) override
    {
        Value<float>::ApplyUndoItem(item);
        if (fHow == Leaving::kDisconnects) {
            Disconnect();
        } else {
            fOwner.reset();
        }
    }

private:
    const Leaving fHow;
    std::unique_ptr<LeavingValue>& fOwner;
};

class UndoServiceTest : public testing::Test
{
protected:
    void TearDown() override { gApplied.clear(); }

    // One completed action named `name` in which `change` runs.
    template <typename Change>
    void record(const wchar_t* name, Change change)
    {
        service->BeginRecording(UString(name));
        change();
        service->EndRecording();
    }

    std::shared_ptr<UndoService> service = std::make_shared<UndoService>();
};

TEST_F(UndoServiceTest, TwoChangesInOneRecordingUndoToTheFirstAndRedoToTheLast)
{
    Value<float> level(service, 1.0f);
    Value<UString> name(service, UString(L"a"));
    Value<UUIDObj> id(service);
    const UUIDObj first = UUIDObj::GetNewUUID();
    const UUIDObj second = UUIDObj::GetNewUUID();
    record(L"Edit", [&] {
        level.Set(2.0f);
        name.Set(UString(L"b"));
        id.Set(first);
        level.Set(3.0f);
        name.Set(UString(L"c"));
        id.Set(second);
    });

    service->DoUndo();
    EXPECT_EQ(level.Get(), 1.0f);
    EXPECT_EQ(name.Get(), UString(L"a"));
    EXPECT_TRUE(id.Get().IsClear());
    // One record per object, applied in the order of the objects' addresses.
    std::vector<const Undoable*> expected{&level, &name, &id};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(gApplied, expected);

    service->DoRedo();
    EXPECT_EQ(level.Get(), 3.0f);
    EXPECT_EQ(name.Get(), UString(L"c"));
    EXPECT_EQ(id.Get(), second);

    // The changes reported while applying were not recorded: one undo goes back to the start.
    service->DoUndo();
    EXPECT_EQ(level.Get(), 1.0f);
    service->DoUndo();
    EXPECT_EQ(level.Get(), 1.0f);
}

TEST_F(UndoServiceTest, OnlyARecordingThatChangedSomethingClearsTheRedoList)
{
    Value<float> level(service);
    Value<float> unregistered(nullptr);
    record(L"Set", [&] { level.Set(5.0f); });
    service->DoUndo();

    record(L"Nothing", [] {});
    record(L"Outside", [&] { unregistered.Set(1.0f); });
    // Reported outside a recording.
    level.Set(7.0f);
    service->DoRedo();
    EXPECT_EQ(level.Get(), 5.0f);

    service->DoUndo();
    record(L"Other", [&] { level.Set(6.0f); });
    service->DoRedo();
    EXPECT_EQ(level.Get(), 6.0f);
}

TEST_F(UndoServiceTest, TheUndoListKeepsTheMaximumNumberOfActions)
{
    struct Case
    {
        const char* name;
        unsigned int maximum;
        int actions;
        float oldestReachable;
    };
    const Case cases[] = {
        {"default", 0, 11, 1.0f}, {"three", 3, 5, 2.0f}, {"more than recorded", 20, 11, 0.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto fresh = std::make_shared<UndoService>();
        if (c.maximum != 0) {
            fresh->SetMaxNumEntries(c.maximum);
        }
        Value<float> level(fresh);
        for (int i = 1; i <= c.actions; ++i) {
            fresh->BeginRecording(UString(L"Step"));
            level.Set(float(i));
            fresh->EndRecording();
        }
        for (int i = 0; i < c.actions; ++i) {
            fresh->DoUndo();
        }
        EXPECT_EQ(level.Get(), c.oldestReachable);
    }
}

TEST_F(UndoServiceTest, ANewMaximumTakesEffectAtTheNextCompletedRecording)
{
    Value<float> level(service);
    for (int i = 1; i <= 4; ++i) {
        record(L"Step", [&] { level.Set(float(i)); });
    }
    service->SetMaxNumEntries(1);
    service->DoUndo();
    service->DoUndo();
    EXPECT_EQ(level.Get(), 2.0f);
    service->DoRedo();
    service->DoRedo();

    record(L"Last", [&] { level.Set(5.0f); });
    service->DoUndo();
    service->DoUndo();
    EXPECT_EQ(level.Get(), 4.0f);
}

TEST_F(UndoServiceTest, NestedRecordingsMakeOneAction)
{
    Value<float> level(service);
    Value<UString> name(service);
    service->BeginRecording(UString(L"Outer"));
    level.Set(1.0f);
    record(L"Inner", [&] { name.Set(UString(L"x")); });
    level.Set(2.0f);
    service->EndRecording();
    // A stray end after the outermost changes nothing.
    service->EndRecording();

    service->DoUndo();
    EXPECT_EQ(level.Get(), 0.0f);
    EXPECT_EQ(name.Get(), UString());
    service->DoUndo();
    service->DoRedo();
    EXPECT_EQ(level.Get(), 2.0f);
    EXPECT_EQ(name.Get(), UString(L"x"));
}

TEST_F(UndoServiceTest, EmptyListsDoNothing)
{
    Value<float> level(service, 4.0f);
    service->DoUndo();
    service->DoRedo();
    EXPECT_EQ(level.Get(), 4.0f);
    EXPECT_TRUE(gApplied.empty());
}

TEST_F(UndoServiceTest, ASuppressedObjectReportsNothing)
{
    Value<float> level(service);
    // Taking the count below zero would leave the next suppression without effect.
    level.unsuppressUndo();
    level.suppressUndo();
    record(L"Hidden", [&] { level.Set(1.0f); });
    level.unsuppressUndo();
    record(L"Shown", [&] { level.Set(2.0f); });

    service->DoUndo();
    EXPECT_EQ(level.Get(), 1.0f);
    service->DoUndo();
    EXPECT_EQ(level.Get(), 1.0f);
}

TEST_F(UndoServiceTest, RemovingAnObjectPurgesEveryActionIncludingTheOneBeingRecorded)
{
    Value<float> kept(service);
    Value<float> removed(service);
    record(L"First", [&] {
        kept.Set(1.0f);
        removed.Set(1.0f);
    });
    record(L"Second", [&] {
        kept.Set(2.0f);
        removed.Set(2.0f);
    });
    service->DoUndo();
    service->BeginRecording(UString(L"Third"));
    removed.Set(3.0f);
    removed.Disconnect();
    service->EndRecording();
    gApplied.clear();

    service->DoRedo();
    service->DoUndo();
    service->DoUndo();
    EXPECT_EQ(kept.Get(), 0.0f);
    EXPECT_EQ(removed.Get(), 3.0f);
    EXPECT_EQ(std::count(gApplied.begin(), gApplied.end(), &removed), 0);
}

TEST_F(UndoServiceTest, AnObjectDestroyedWhileConnectedIsNeverReachedAgain)
{
    Value<float> kept(service);
    // An unconnected object takes the destroyed one's place, so that a call still made to that
    // address is seen.
    std::optional<Value<float>> place;
    place.emplace(service);
    record(L"First", [&] {
        kept.Set(1.0f);
        place->Set(1.0f);
    });
    record(L"Second", [&] { place->Set(2.0f); });
    service->DoUndo();
    place.reset();
    place.emplace(nullptr);
    gApplied.clear();

    service->DoRedo();
    service->DoUndo();
    service->DoUndo();
    EXPECT_EQ(kept.Get(), 0.0f);
    EXPECT_EQ(gApplied, std::vector<const Undoable*>{&kept});
    EXPECT_EQ(place->Get(), 0.0f);
}

TEST_F(UndoServiceTest, AnObjectLeavingWhileItAppliesIsAppliedOnceAndNeverAgain)
{
    for (Leaving how : {Leaving::kDisconnects, Leaving::kIsDestroyed}) {
        SCOPED_TRACE(how == Leaving::kDisconnects ? "disconnects" : "is destroyed");
        gApplied.clear();
        // Every object leaves, so that the first, a middle and the last record are each removed
        // while the action applies it.
        std::vector<std::unique_ptr<LeavingValue>> objects(3);
        std::vector<const Undoable*> keyOrder;
        for (std::unique_ptr<LeavingValue>& object : objects) {
            object = std::make_unique<LeavingValue>(service, how, object);
            keyOrder.push_back(object.get());
        }
        std::sort(keyOrder.begin(), keyOrder.end());
        record(L"Edit", [&] {
            for (const std::unique_ptr<LeavingValue>& object : objects) {
                object->Set(1.0f);
            }
        });

        service->DoUndo();
        EXPECT_EQ(gApplied, keyOrder);
        service->DoRedo();
        service->DoUndo();
        EXPECT_EQ(gApplied, keyOrder) << "a removed record is not applied again";
        for (const std::unique_ptr<LeavingValue>& object : objects) {
            EXPECT_EQ(object == nullptr, how == Leaving::kIsDestroyed);
            EXPECT_TRUE(object == nullptr || object->Get() == 0.0f);
        }
    }
}

TEST_F(UndoServiceTest, AServiceDestroyedBeforeItsObjectsLetsGoOfThem)
{
    Value<float> first(service);
    Value<float> second(service);
    service->BeginRecording(UString(L"Unfinished"));
    first.Set(1.0f);
    record(L"Done", [&] { second.Set(1.0f); });
    const std::weak_ptr<UndoService> watch = service;
    service.reset();
    ASSERT_TRUE(watch.expired()) << "the objects keep the service alive";
    EXPECT_TRUE(gApplied.empty());

    // Reports now go nowhere, and destroying the objects touches no freed service.
    first.Set(2.0f);
    EXPECT_EQ(first.Get(), 2.0f);
}

// The strings table is read once per process, so the case runs in a child process of its own.
TEST(UndoServiceMenuTest, MenuTextsNameTheActionsOrSayThereIsNone)
{
    RunInChildProcess([] {
        FixtureBundle bundle("org.tide.pellix.tests.undo",
                             {{"LocalizableStrings.xml", "<resource_list><XSET name='strings'>"
                                                         "<TEXT name=\"Can't Undo\">Nothing to undo</TEXT>"
                                                         "<TEXT name=\"Can't Redo\">Nothing to redo</TEXT>"
                                                         "</XSET></resource_list>"}});
        Pellix::ResourceAccess::Instance().SetBundleID(UString(bundle.identifier(), UString::kUTF8));
        auto service = std::make_shared<UndoService>();
        Value<float> level(service);
        UString undoText;
        UString redoText;
        service->GetMenuStrings(undoText, redoText);
        bool passed = undoText == UString(L"Nothing to undo") && redoText == UString(L"Nothing to redo");

        for (const wchar_t* name : {L"Typing", L"Paste"}) {
            service->BeginRecording(UString(name));
            level.Set(level.Get() + 1.0f);
            service->EndRecording();
        }
        service->DoUndo();
        service->GetMenuStrings(undoText, redoText);
        passed = passed && undoText == UString(L"Typing") && redoText == UString(L"Paste");
        if (!passed) {
            std::cerr << "menu texts " << undoText.utf8_str() << " / " << redoText.utf8_str() << std::endl;
        }
        return passed;
    });
}

TEST(UndoItemAccessTest, TheRightTypeGivesTheValueAndAnyOtherTheDefault)
{
    SimpleUndoItem<float> level(2.5f);
    SimpleUndoItem<UString> text(UString(L"name"));
    const UUIDObj id = UUIDObj::GetNewUUID();
    SimpleUndoItem<UUIDObj> identifier(id);

    EXPECT_EQ(Pellix::GetUndoFloatItem(static_cast<UndoItem*>(&level)), 2.5f);
    EXPECT_EQ(Pellix::GetUndoUStringItem(static_cast<UndoItem*>(&text)), UString(L"name"));
    EXPECT_EQ(Pellix::GetUndoUUIDObjItem(static_cast<UndoItem*>(&identifier)), id);

    for (UndoItem* other : {static_cast<UndoItem*>(nullptr), static_cast<UndoItem*>(&text)}) {
        EXPECT_EQ(Pellix::GetUndoFloatItem(other), 0.0f);
        EXPECT_EQ(Pellix::AsUndoFloatItem(other), nullptr);
    }
    for (UndoItem* other : {static_cast<UndoItem*>(nullptr), static_cast<UndoItem*>(&level)}) {
        EXPECT_EQ(Pellix::GetUndoUStringItem(other), UString());
        EXPECT_TRUE(Pellix::GetUndoUUIDObjItem(other).IsClear());
        EXPECT_EQ(Pellix::AsUndoUStringItem(other), nullptr);
        EXPECT_EQ(Pellix::AsUndoUUIDObjItem(other), nullptr);
    }
    EXPECT_EQ(Pellix::AsUndoFloatItem(&level), &level);
    EXPECT_EQ(Pellix::GetUndoFloatItem(static_cast<SimpleUndoItem<float>*>(nullptr)), 0.0f);
    EXPECT_EQ(Pellix::GetUndoUStringItem(static_cast<SimpleUndoItem<UString>*>(nullptr)), UString());
    EXPECT_TRUE(Pellix::GetUndoUUIDObjItem(static_cast<SimpleUndoItem<UUIDObj>*>(nullptr)).IsClear());
}

} // namespace
