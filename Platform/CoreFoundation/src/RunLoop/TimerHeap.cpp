#include "TimerHeap.h"

namespace CFPlatform {

void TimerHeap::insert(Timer& timer)
{
    fItems.push_back(&timer);
    timer.fHeapIndex = fItems.size() - 1;
    siftUp(timer.fHeapIndex);
}

void TimerHeap::remove(Timer& timer)
{
    size_t index = timer.fHeapIndex;
    Timer* last = fItems.back();
    fItems.pop_back();
    if (last != &timer) {
        place(index, last);
        update(*last);
    }
}

void TimerHeap::update(Timer& timer)
{
    size_t index = timer.fHeapIndex;
    if (index > 0 && timer.firesBefore(*fItems[(index - 1) / 2])) {
        siftUp(index);
    } else {
        siftDown(index);
    }
}

void TimerHeap::place(size_t index, Timer* timer)
{
    fItems[index] = timer;
    timer->fHeapIndex = index;
}

void TimerHeap::siftUp(size_t index)
{
    Timer* timer = fItems[index];
    while (index > 0) {
        size_t parent = (index - 1) / 2;
        if (!timer->firesBefore(*fItems[parent])) {
            break;
        }
        place(index, fItems[parent]);
        index = parent;
    }
    place(index, timer);
}

void TimerHeap::siftDown(size_t index)
{
    Timer* timer = fItems[index];
    size_t count = fItems.size();
    for (;;) {
        size_t child = 2 * index + 1;
        if (child >= count) {
            break;
        }
        if (child + 1 < count && fItems[child + 1]->firesBefore(*fItems[child])) {
            ++child;
        }
        if (!fItems[child]->firesBefore(*timer)) {
            break;
        }
        place(index, fItems[child]);
        index = child;
    }
    place(index, timer);
}

} // namespace CFPlatform
