#include "Undo/UndoService.h"

#include "Undo/UndoAction.h"
#include "Undo/Undoable.h"
#include "XML/XMLResourceListReader.h"

#include <algorithm>

namespace Pellix {

namespace {

// Sets the flag for one undo or redo and restores its previous value, also on an exception.
class ApplyingScope
{
public:
    explicit ApplyingScope(bool& flag) : fFlag(flag), fPrevious(flag) { fFlag = true; }
    ~ApplyingScope() { fFlag = fPrevious; }
    ApplyingScope(const ApplyingScope&) = delete;
    ApplyingScope& operator=(const ApplyingScope&) = delete;

private:
    bool& fFlag;
    bool fPrevious;
};

// Moves the last action of `from` to the end of `to` once `apply` has run on it.
template <typename Apply>
void moveLastAction(UndoService::ActionList& from, UndoService::ActionList& to, Apply apply)
{
    if (from.empty()) {
        return;
    }
    apply(*from.back());
    to.push_back(std::move(from.back()));
    from.pop_back();
}

} // namespace

UndoService::UndoService() = default;

UndoService::~UndoService()
{
    ClearActionList(fUndoList);
    ClearActionList(fRedoList);
    // The service is no longer reachable through the undoables' weak references, so disconnecting
    // only makes them let go of it.
    const std::vector<Undoable*> registered = std::move(fUndoables);
    fUndoables.clear();
    for (auto undoable = registered.rbegin(); undoable != registered.rend(); ++undoable) {
        (*undoable)->Disconnect();
    }
    fRecording.reset();
}

void UndoService::SetMaxNumEntries(unsigned int maximum)
{
    fMaxNumEntries = maximum;
}

void UndoService::AddUndoable(Undoable* undoable)
{
    auto place = std::lower_bound(fUndoables.begin(), fUndoables.end(), undoable);
    if (place == fUndoables.end() || *place != undoable) {
        fUndoables.insert(place, undoable);
    }
}

void UndoService::RemoveUndoable(Undoable* undoable)
{
    ClearActionListUndoables(fUndoList, undoable);
    ClearActionListUndoables(fRedoList, undoable);
    if (fRecording != nullptr) {
        fRecording->RemoveUndoable(undoable);
    }
    auto place = std::lower_bound(fUndoables.begin(), fUndoables.end(), undoable);
    if (place != fUndoables.end() && *place == undoable) {
        fUndoables.erase(place);
    }
}

void UndoService::UndoableChanged(Undoable* undoable, std::unique_ptr<UndoItem> before,
                                  std::unique_ptr<UndoItem> after)
{
    if (fRecording == nullptr || !std::binary_search(fUndoables.begin(), fUndoables.end(), undoable)) {
        return;
    }
    fRecording->UpdateItem(undoable, std::move(before), std::move(after));
}

void UndoService::BeginRecording(UString name)
{
    if (fApplying) {
        return;
    }
    if (fRecordingDepth == 0) {
        fRecording = std::make_unique<Action>(std::move(name));
    }
    ++fRecordingDepth;
}

void UndoService::EndRecording()
{
    if (fRecordingDepth == 0 || fRecording == nullptr) {
        return;
    }
    if (fRecordingDepth > 1) {
        --fRecordingDepth;
        return;
    }
    std::unique_ptr<Action> recorded = std::move(fRecording);
    if (!recorded->IsEmpty()) {
        fUndoList.push_back(std::move(recorded));
        ClearActionList(fRedoList);
        while (fUndoList.size() > fMaxNumEntries) {
            fUndoList.erase(fUndoList.begin());
        }
    }
    fRecordingDepth = 0;
}

void UndoService::DoUndo()
{
    ApplyingScope applying(fApplying);
    moveLastAction(fUndoList, fRedoList, [](Action& action) { action.Undo(); });
}

void UndoService::DoRedo()
{
    ApplyingScope applying(fApplying);
    moveLastAction(fRedoList, fUndoList, [](Action& action) { action.Redo(); });
}

void UndoService::GetMenuStrings(UString& undoText, UString& redoText) const
{
    undoText = fUndoList.empty() ? LookupString("Can't Undo") : fUndoList.back()->GetName();
    redoText = fRedoList.empty() ? LookupString("Can't Redo") : fRedoList.back()->GetName();
}

void UndoService::ClearActionList(ActionList& list)
{
    list.clear();
}

void UndoService::ClearActionListUndoables(ActionList& list, Undoable* undoable)
{
    for (const std::unique_ptr<Action>& action : list) {
        action->RemoveUndoable(undoable);
    }
}

} // namespace Pellix
