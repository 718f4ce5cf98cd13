#pragma once

// Groups the changes that undoable objects report between BeginRecording and EndRecording into one
// named action, keeps a bounded list of them, and restores the saved states on undo and redo.
// Main thread only.

#include "UString/UString.h"
#include "Undo/UndoItem.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace Pellix {

class Undoable;

class UndoService
{
public:
    class Action;
    using ActionList = std::vector<std::unique_ptr<Action>>;

    UndoService();
    // Disconnects every undoable still registered.
    virtual ~UndoService();
    UndoService(const UndoService&) = delete;
    UndoService& operator=(const UndoService&) = delete;

    // Takes effect at the next completed recording.
    void SetMaxNumEntries(unsigned int maximum);

    void AddUndoable(Undoable* undoable);
    // Forgets the object everywhere, including the action being recorded.
    void RemoveUndoable(Undoable* undoable);
    // Recorded only for a registered object while a recording runs; otherwise discarded.
    void UndoableChanged(Undoable* undoable, std::unique_ptr<UndoItem> before,
                         std::unique_ptr<UndoItem> after);

    // Nested pairs make one action, named by the outermost call.
    void BeginRecording(UString name);
    void EndRecording();

    void DoUndo();
    void DoRedo();

    // The names of the actions that undo and redo would apply, or the localised "Can't Undo" and
    // "Can't Redo" when there is none.
    void GetMenuStrings(UString& undoText, UString& redoText) const;

    static void ClearActionList(ActionList& list);
    static void ClearActionListUndoables(ActionList& list, Undoable* undoable);

private:
    // Sorted by address, without duplicates.
    std::vector<Undoable*> fUndoables;
    // Oldest first.
    ActionList fUndoList;
    // The next to redo last.
    ActionList fRedoList;
    std::unique_ptr<Action> fRecording;
    uint32_t fRecordingDepth = 0;
    uint32_t fMaxNumEntries = 10;
    // Set while an undo or redo applies saved states, so that their changes are not recorded.
    bool fApplying = false;
};

} // namespace Pellix
