#include "Undo/UndoItemAccess.h"

namespace Pellix {

namespace {

template <typename T>
T valueOr(SimpleUndoItem<T>* item, T fallback)
{
    return item != nullptr ? item->GetValue() : fallback;
}

} // namespace

SimpleUndoItem<float>* AsUndoFloatItem(UndoItem* item)
{
    return dynamic_cast<SimpleUndoItem<float>*>(item);
}

SimpleUndoItem<UString>* AsUndoUStringItem(UndoItem* item)
{
    return dynamic_cast<SimpleUndoItem<UString>*>(item);
}

SimpleUndoItem<UUIDObj>* AsUndoUUIDObjItem(UndoItem* item)
{
    return dynamic_cast<SimpleUndoItem<UUIDObj>*>(item);
}

float GetUndoFloatItem(SimpleUndoItem<float>* item)
{
    return valueOr(item, 0.0f);
}

UString GetUndoUStringItem(SimpleUndoItem<UString>* item)
{
    return valueOr(item, UString());
}

UUIDObj GetUndoUUIDObjItem(SimpleUndoItem<UUIDObj>* item)
{
    return valueOr(item, UUIDObj());
}

float GetUndoFloatItem(UndoItem* item)
{
    return GetUndoFloatItem(AsUndoFloatItem(item));
}

UString GetUndoUStringItem(UndoItem* item)
{
    return GetUndoUStringItem(AsUndoUStringItem(item));
}

UUIDObj GetUndoUUIDObjItem(UndoItem* item)
{
    return GetUndoUUIDObjItem(AsUndoUUIDObjItem(item));
}

} // namespace Pellix
