#pragma once

// Typed access to saved states: the value of the expected type, or that type's default for an
// item of another type or for null.

#include "Undo/UndoItem.h"

namespace Pellix {

SimpleUndoItem<float>* AsUndoFloatItem(UndoItem* item);
SimpleUndoItem<UString>* AsUndoUStringItem(UndoItem* item);
SimpleUndoItem<UUIDObj>* AsUndoUUIDObjItem(UndoItem* item);

float GetUndoFloatItem(SimpleUndoItem<float>* item);
UString GetUndoUStringItem(SimpleUndoItem<UString>* item);
UUIDObj GetUndoUUIDObjItem(SimpleUndoItem<UUIDObj>* item);

float GetUndoFloatItem(UndoItem* item);
UString GetUndoUStringItem(UndoItem* item);
UUIDObj GetUndoUUIDObjItem(UndoItem* item);

} // namespace Pellix
