// The input chaser reads packets a device wrote, with a max packet size and a frame size from its
// descriptors. The input chooses all of them: the side and mode, the header version, the two sizes,
// what sits at which ring position, and a sequence of chaser calls. Each run checks that the chaser
// stays inside the ring (ASan), leaves the other side's records alone and keeps its results within
// the scan bounds.
//
// Input: side and mode byte, header version, u16 max packet size, u8 bytes per frame, u8 number of
// writes, then per write a u16 position and 5 header bytes (headers on) or 8 pattern bytes (off),
// then calls of 15 bytes each: operation, u16 position, i16 count, u16 second position, i32 frames,
// u32 frames chased so far. Missing bytes read as zero.

#include "KorvanChaseRoutinesMac.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace KorvanDeviceIO;

namespace {

class Reader
{
public:
    Reader(const uint8_t* data, std::size_t size) : fData(data), fSize(size) {}

    template <class T>
    T take()
    {
        uint8_t bytes[sizeof(T)] = {};
        for (uint8_t& byte : bytes) {
            byte = fSize ? (--fSize, *fData++) : 0;
        }
        T value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }

    bool empty() const { return fSize == 0; }

private:
    const uint8_t* fData;
    std::size_t fSize;
};

// Formats every message as LogThread does, so the formats meet their arguments.
struct FormattingLog
{
    template <class Location, class... Args>
    void PostMessage(const char* format, const Args&... args)
    {
        char text[256];
        FormatMessage(text, sizeof text, format, args...);
    }
};

// One ring for the whole run, as heap memory rather than vm_allocate so that ASan guards both ends.
// Preparing all 11 MB for every input would dominate the run: between inputs of the same mode only
// the block headers, the records and the packets this input wrote are put back.
class FuzzRing
{
public:
    USBRequestBlock* blocks() const { return fBlocks; }

    void prepare(bool headersOn)
    {
        if (fPrepared && fHeadersOn == headersOn) {
            return;
        }
        PrepareInputRing(fBlocks, true);
        if (!headersOn) {
            PrepareInputRing(fBlocks, false);
        }
        fPrepared = true;
        fHeadersOn = headersOn;
    }

    void wrote(uint8_t* packet, std::size_t bytes) { fWritten[fWrittenCount++] = {packet, bytes}; }

    // The chaser writes only block headers and records, and refills packets without headers with the
    // pattern they already hold.
    void restore()
    {
        for (std::size_t block = 0; block < kRequestBlockCount; ++block) {
            std::memset(static_cast<void*>(&fBlocks[block]), 0, offsetof(USBRequestBlock, fBuffer));
        }
        for (std::size_t i = 0; i < fWrittenCount; ++i) {
            std::memset(fWritten[i].fPacket, fHeadersOn ? 0 : kStalePacketByte, fWritten[i].fBytes);
        }
        fWrittenCount = 0;
    }

private:
    struct Written
    {
        uint8_t* fPacket;
        std::size_t fBytes;
    };

    USBRequestBlock* fBlocks = new USBRequestBlock[kRequestBlockCount];
    bool fPrepared = false;
    bool fHeadersOn = false;
    Written fWritten[256] = {};
    std::size_t fWrittenCount = 0;
};

bool recordsUntouched(const USBRequestBlock* ring, Driver side)
{
    static const ChaseRecord kZero{};
    for (std::size_t block = 0; block < kRequestBlockCount; ++block) {
        if (std::memcmp(&ring[block].fChase[int(side)], &kZero, sizeof kZero) != 0) {
            return false;
        }
    }
    return true;
}

std::size_t number(const USBRequestIter& it)
{
    return it.blockNumber() * kPacketsPerBlock + it.fPacketIndex;
}

std::size_t distance(const USBRequestIter& from, const USBRequestIter& to)
{
    return (number(to) + kPacketsPerRing - number(from)) % kPacketsPerRing;
}

void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

template <Driver D>
void run(Reader& input, bool headersOn, uint8_t version, FuzzRing& fuzzRing)
{
    USBRequestBlock* const ring = fuzzRing.blocks();
    const uint32_t maxPacket = input.take<uint16_t>();
    const uint32_t bytesPerFrame = input.take<uint8_t>();
    const bool strideFits = maxPacket >= kStalePatternBytes && maxPacket <= kMaxPacketStrideBytes;
    auto at = [&](uint16_t position) {
        const std::size_t p = position % kPacketsPerRing;
        return USBRequestIter{ring, ring + p / kPacketsPerBlock, uint32_t(p % kPacketsPerBlock), maxPacket};
    };

    const unsigned writes = input.take<uint8_t>();
    for (unsigned i = 0; i < writes; ++i) {
        const uint16_t position = input.take<uint16_t>();
        uint8_t bytes[kStalePatternBytes];
        const std::size_t length = headersOn ? kIsocPacketHeaderBytes : kStalePatternBytes;
        for (std::size_t b = 0; b < length; ++b) {
            bytes[b] = input.take<uint8_t>();
        }
        if (strideFits) {
            std::memcpy(at(position).packet(), bytes, length);
            fuzzRing.wrote(at(position).packet(), length);
        }
    }

    FormattingLog log;
    const USBInputChaser<D, FormattingLog> chaser(maxPacket, bytesPerFrame, headersOn, version, &log);
    for (int call = 0; call < 64 && !input.empty(); ++call) {
        const uint8_t operation = input.take<uint8_t>() % 4;
        const USBRequestIter start = at(input.take<uint16_t>());
        const int count = input.take<int16_t>();
        const USBRequestIter other = at(input.take<uint16_t>());
        const int64_t frames = input.take<int32_t>();
        int64_t chased = input.take<uint32_t>();

        USBRequestIter found;
        int n = 0;
        switch (operation) {
        case 0:
            if (chaser.FindNextFreshIsocIn(start, count, found, n)) {
                check(n >= 1 && n <= count && n <= int(kPacketsPerRing));
                check(distance(start, found) == std::size_t(n) % kPacketsPerRing);
            }
            break;
        case 1:
            if (chaser.didIsocInGetDropped(start, count, found, n)) {
                check(n >= 1 && n <= int(kPacketsPerRing));
                check(distance(start, found) == std::size_t(n) % kPacketsPerRing);
            }
            break;
        case 2:
            chaser.setTransferLengthsForDroppedInputPackets(start, count, frames);
            break;
        default: {
            int64_t dropped = 0;
            const int64_t before = chased;
            const bool repaired = chaser.handleDroppedIsoc([](const uint8_t*, uint32_t) {}, start, other,
                                                           unsigned(count), chased, dropped);
            check(repaired || chased == before);
            check(!repaired || dropped > 0);
            break;
        }
        }
    }
    check(recordsUntouched(ring, D == Driver::CoreAudio ? Driver::Dext : Driver::CoreAudio));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    Reader input(data, size);
    const uint8_t mode = input.take<uint8_t>();
    const bool dext = mode & 1;
    const bool headersOn = mode & 2;
    const uint8_t version = input.take<uint8_t>() % 4;

    static FuzzRing ring;
    ring.prepare(headersOn);
    if (dext) {
        run<Driver::Dext>(input, headersOn, version, ring);
    } else {
        run<Driver::CoreAudio>(input, headersOn, version, ring);
    }
    ring.restore();
    return 0;
}
