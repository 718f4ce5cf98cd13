#include "Undo/Undoable.h"

#include "Undo/UndoService.h"

namespace Pellix {

Undoable::~Undoable()
{
    Disconnect();
}

void Undoable::Connect(std::shared_ptr<UndoService> service)
{
    Disconnect();
    fService = service;
    if (service != nullptr) {
        service->AddUndoable(this);
    }
}

void Undoable::Disconnect()
{
    if (std::shared_ptr<UndoService> service = fService.lock()) {
        service->RemoveUndoable(this);
    }
    fService.reset();
}

void Undoable::suppressUndo()
{
    ++fSuppressCount;
}

void Undoable::unsuppressUndo()
{
    if (fSuppressCount > 0) {
        --fSuppressCount;
    }
}

void Undoable::UndoableChanged(std::unique_ptr<UndoItem> before, std::unique_ptr<UndoItem> after)
{
    if (fSuppressCount >= 1) {
        return;
    }
    if (std::shared_ptr<UndoService> service = fService.lock()) {
        service->UndoableChanged(this, std::move(before), std::move(after));
    }
}

} // namespace Pellix
