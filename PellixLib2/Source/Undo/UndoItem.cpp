#include "Undo/UndoItem.h"

namespace Pellix {

template class SimpleUndoItem<float>;
template class SimpleUndoItem<UString>;
template class SimpleUndoItem<UUIDObj>;

} // namespace Pellix
