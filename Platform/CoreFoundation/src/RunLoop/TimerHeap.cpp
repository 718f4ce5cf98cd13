#include "TimerHeap.h"

#include <algorithm>

namespace CFPlatform {

void TimerHeap::insert(Timer& timer)
{
    fItems.push_back(Entry{timer.fDeadline, &timer});
    siftUp(fItems.size() - 1);
}

void TimerHeap::remove(Timer& timer)
{
    size_t index = timer.fHeapIndex;
    if (index == fItems.size() - 1) {
        fItems.pop_back();
    } else {
        fItems[index].fTimer = nullptr;
        ++fVacant;
    }
    while (!fItems.empty() && !fItems.back().fTimer) {
        fItems.pop_back();
        --fVacant;
    }
    if (2 * fVacant > fItems.size()) {
        sweepVacancies();
    }
}

void TimerHeap::update(Timer& timer)
{
    size_t index = timer.fHeapIndex;
    fItems[index].fDeadline = timer.fDeadline;
    if (index > 0 && fItems[index] < fItems[parent(index)]) {
        siftUp(index);
    } else {
        siftDown(index);
    }
}

void TimerHeap::siftUp(size_t index)
{
    Entry entry = fItems[index];
    while (index > 0) {
        size_t above = parent(index);
        if (!(entry < fItems[above])) {
            break;
        }
        place(index, fItems[above]);
        index = above;
    }
    place(index, entry);
}

void TimerHeap::siftDown(size_t index)
{
    Entry entry = fItems[index];
    size_t count = fItems.size();
    for (;;) {
        size_t first = firstChild(index);
        if (first >= count) {
            break;
        }
        size_t least = first;
        for (size_t child = first + 1; child < std::min(first + kArity, count); ++child) {
            if (fItems[child] < fItems[least]) {
                least = child;
            }
        }
        if (!(fItems[least] < entry)) {
            break;
        }
        place(index, fItems[least]);
        index = least;
    }
    place(index, entry);
}

void TimerHeap::sweepVacancies()
{
    fItems.erase(
        std::remove_if(fItems.begin(), fItems.end(), [](const Entry& entry) { return !entry.fTimer; }),
        fItems.end());
    fVacant = 0;
    if (fItems.empty()) {
        return;
    }
    for (size_t index = 0; index < fItems.size(); ++index) {
        fItems[index].fTimer->fHeapIndex = index;
    }
    for (size_t index = fItems.size() / kArity + 1; index-- > 0;) {
        siftDown(index);
    }
}

} // namespace CFPlatform
