#include "Undo/UndoAction.h"

#include "Undo/Undoable.h"

namespace Pellix {

void UndoService::Action::UpdateItem(Undoable* undoable, std::unique_ptr<UndoItem> before,
                                     std::unique_ptr<UndoItem> after)
{
    auto found = fRecords.find(undoable);
    if (found != fRecords.end()) {
        found->second.after = std::move(after);
    } else {
        fRecords.emplace(undoable, Record{std::move(before), std::move(after)});
    }
}

void UndoService::Action::RemoveUndoable(Undoable* undoable)
{
    fRecords.erase(undoable);
}

void UndoService::Action::Undo()
{
    Apply(&Record::before);
}

void UndoService::Action::Redo()
{
    Apply(&Record::after);
}

// An object may disconnect, or be destroyed, in its ApplyUndoItem, and so remove records from this
// map: each step looks up the record after the last one applied instead of keeping an iterator.
void UndoService::Action::Apply(std::unique_ptr<UndoItem> Record::*item)
{
    for (auto record = fRecords.begin(); record != fRecords.end();) {
        Undoable* const undoable = record->first;
        undoable->ApplyUndoItem((record->second.*item).get());
        record = fRecords.upper_bound(undoable);
    }
}

} // namespace Pellix
