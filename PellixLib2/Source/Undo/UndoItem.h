#pragma once

// A saved state of an undoable object: the state before or after one change.

#include "UString/UString.h"
#include "UUID/UUIDObj.h"

#include <utility>

namespace Pellix {

class UndoItem
{
public:
    virtual ~UndoItem() = default;
};

template <typename T>
class SimpleUndoItem : public UndoItem
{
public:
    explicit SimpleUndoItem(T value) : fValue(std::move(value)) {}

    const T& GetValue() const { return fValue; }

private:
    T fValue;
};

// Built once in the library, so that every program shares their run-time type.
extern template class SimpleUndoItem<float>;
extern template class SimpleUndoItem<UString>;
extern template class SimpleUndoItem<UUIDObj>;

} // namespace Pellix
