#include <FoundationPlatform/RecordSequence.h>

#include <atomic>

namespace FoundationPlatform {

uint64_t nextRecordSequence()
{
    static std::atomic<uint64_t> sNext{1};
    return sNext.fetch_add(1);
}

} // namespace FoundationPlatform
