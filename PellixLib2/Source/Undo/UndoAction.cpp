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
    for (auto& [undoable, record] : fRecords) {
        undoable->ApplyUndoItem(record.before.get());
    }
}

void UndoService::Action::Redo()
{
    for (auto& [undoable, record] : fRecords) {
        undoable->ApplyUndoItem(record.after.get());
    }
}

} // namespace Pellix
