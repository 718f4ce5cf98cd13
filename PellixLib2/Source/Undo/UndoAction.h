#pragma once

// One named, undoable action: for every object it changed, the state before its first change and
// the state after its last.

#include "Undo/UndoService.h"

#include <map>

namespace Pellix {

class UndoService::Action
{
public:
    explicit Action(UString name) : fName(std::move(name)) {}
    virtual ~Action() = default;

    const UString& GetName() const { return fName; }
    bool IsEmpty() const { return fRecords.empty(); }

    // A second change of an object keeps the first before item and takes the new after item.
    void UpdateItem(Undoable* undoable, std::unique_ptr<UndoItem> before, std::unique_ptr<UndoItem> after);
    void RemoveUndoable(Undoable* undoable);

    // Apply the before or after items, in the order of the objects' keys.
    void Undo();
    void Redo();

private:
    struct Record
    {
        // Declared in this order so that the after item is destroyed first.
        std::unique_ptr<UndoItem> before;
        std::unique_ptr<UndoItem> after;
    };

    // Hands each object the chosen item of its record.
    void Apply(std::unique_ptr<UndoItem> Record::*item);

    UString fName;
    std::map<Undoable*, Record> fRecords;
};

} // namespace Pellix
