#include "Dma.h"

#include <atomic>
#include <cstring>

#if defined(__SANITIZE_THREAD__)
#define SIMUSB_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SIMUSB_TSAN 1
#endif
#endif

#ifdef SIMUSB_TSAN
extern "C" void AnnotateIgnoreReadsBegin(const char* file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char* file, int line);
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#define DMA_IGNORE_BEGIN()                                                                                   \
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);                                                            \
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__)
#define DMA_IGNORE_END()                                                                                     \
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);                                                             \
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__)
#else
#define DMA_IGNORE_BEGIN()
#define DMA_IGNORE_END()
#endif

namespace SimUSB {

void dmaRead(void* to, const void* from, size_t length)
{
    if (length == 0) {
        return;
    }
    DMA_IGNORE_BEGIN();
    std::memcpy(to, from, length);
    DMA_IGNORE_END();
}

void dmaWrite(void* to, const void* from, size_t length)
{
    if (length == 0) {
        return;
    }
    DMA_IGNORE_BEGIN();
    std::memcpy(to, from, length);
    DMA_IGNORE_END();
}

void storePacket(uint8_t* to, const uint8_t* packet, size_t length, size_t room)
{
    if (length == 0) {
        return;
    }
    // An 8-byte store that crosses a cache line reaches other cores in two halves, so it cannot
    // publish the packet; neither can one past the end of the buffer. Then every byte but the first
    // goes first, and byte 0 last.
    constexpr uintptr_t kCacheLine = 64;
    if (room < 8 || reinterpret_cast<uintptr_t>(to) % kCacheLine > kCacheLine - 8) {
        DMA_IGNORE_BEGIN();
        std::memcpy(to + 1, packet + 1, length - 1);
        DMA_IGNORE_END();
        __atomic_store_n(to, packet[0], __ATOMIC_RELEASE);
        return;
    }
    uint8_t head[8];
    DMA_IGNORE_BEGIN();
    if (length > 8) {
        std::memcpy(to + 8, packet + 8, length - 8);
        std::memcpy(head, packet, 8);
    } else {
        std::memcpy(head, to, 8);
        std::memcpy(head, packet, length);
    }
    DMA_IGNORE_END();
    uint64_t word;
    std::memcpy(&word, head, 8);
    // Packet slots need not be 8-byte aligned; x86 stores an unaligned word within a cache line whole.
    __atomic_store_n(reinterpret_cast<uint64_t*>(to), word, __ATOMIC_RELEASE);
}

} // namespace SimUSB
