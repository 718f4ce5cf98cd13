#include "RecordingStubs.h"

#include "JamStubs.h"

#include <cstdlib>

Recording gRecording;

void Recording::answer(uint64_t value, int bits)
{
    for (int k = 0; k < bits; ++k) {
        tdo.push_back(int((value >> k) & 1));
    }
}

int jbi_jtag_io(int tms, int tdi, int read_tdo)
{
    gRecording.calls.push_back({tms, tdi != 0, read_tdo != 0});
    gRecording.rawTdi.push_back(tdi);
    if (!read_tdo || gRecording.tdo.empty()) {
        return 0;
    }
    const int bit = gRecording.tdo.front();
    gRecording.tdo.pop_front();
    return bit;
}

void jbi_message(const char* message_text)
{
    gRecording.messages.emplace_back(message_text);
}

void jbi_delay(int64_t microseconds)
{
    gRecording.delays.push_back(microseconds);
}

void jbi_export_integer(const char* key, int64_t value)
{
    gRecording.integers.emplace_back(key, value);
}

void jbi_export_boolean_array(const char* key, const uint8_t* data, int64_t count)
{
    gRecording.booleanArrays.emplace_back(key, std::vector<uint8_t>(data, data + (count + 7) / 8));
}

void* jbi_malloc(size_t size)
{
    if (size > gRecording.allocationLimit - gRecording.allocated) {
        return nullptr;
    }
    void* block = std::malloc(size);
    if (block) {
        gRecording.allocated += size;
        ++gRecording.liveAllocations;
    }
    return block;
}

void jbi_free(void* ptr)
{
    if (ptr) {
        --gRecording.liveAllocations;
    }
    std::free(ptr);
}

bool jbi_cancelled()
{
    return gRecording.cancelChecks++ >= gRecording.cancelAfter;
}
