#pragma once

// An object whose state the user can change: it reports each change to its undo service as a pair
// of saved states, and is put back into a saved state on undo and redo. Main thread only.

#include "Undo/UndoItem.h"

#include <cstdint>
#include <memory>

namespace Pellix {

class UndoService;

class Undoable
{
public:
    // Disconnects, so the service never reaches a destroyed object.
    virtual ~Undoable();
    Undoable(const Undoable&) = delete;
    Undoable& operator=(const Undoable&) = delete;

    // Called with the before item on undo and the after item on redo. The object may disconnect or
    // be destroyed here; its record, with the item, goes then, and it is not applied again.
    virtual void ApplyUndoItem(UndoItem* item) = 0;

    // Registers with the service (a null one leaves the object unconnected).
    void Connect(std::shared_ptr<UndoService> service);
    void Disconnect();

    // While suppressed at least once, changes are not reported.
    void suppressUndo();
    void unsuppressUndo();

    // Hands the change to the service when not suppressed; otherwise the items are discarded.
    void UndoableChanged(std::unique_ptr<UndoItem> before, std::unique_ptr<UndoItem> after);

protected:
    Undoable() = default;

private:
    std::weak_ptr<UndoService> fService;
    int64_t fSuppressCount = 0;
};

} // namespace Pellix
