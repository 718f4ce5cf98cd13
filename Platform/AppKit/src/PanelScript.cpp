#include "PanelScript.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

namespace AppKitPlatform {

namespace {

std::mutex gLock;
std::deque<PanelAnswer> gAnswers;
std::vector<PanelRecord> gRecords;

} // namespace

void queueAnswer(PanelAnswer answer)
{
    std::lock_guard lock(gLock);
    gAnswers.push_back(std::move(answer));
}

PanelAnswer takeAnswer(PanelRecord record)
{
    std::lock_guard lock(gLock);
    if (gAnswers.empty()) {
        std::fprintf(stderr, "%s runModal: no answer queued for the panel\n", record.fKind.c_str());
        std::abort();
    }
    gRecords.push_back(std::move(record));
    PanelAnswer answer = std::move(gAnswers.front());
    gAnswers.pop_front();
    return answer;
}

std::vector<PanelRecord> records()
{
    std::lock_guard lock(gLock);
    return gRecords;
}

void reset()
{
    std::lock_guard lock(gLock);
    gAnswers.clear();
    gRecords.clear();
}

} // namespace AppKitPlatform
