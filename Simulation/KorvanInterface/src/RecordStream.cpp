// The record stream: per microframe the sample frames the rate (with drift) brings, with the
// optional streaming header, in 3- or 4-byte subslots.

#include <KorvanInterface/KorvanDevice.h>

#include <algorithm>
#include <cstring>

namespace KorvanInterface {

namespace {

constexpr size_t kHeaderBytes = 5;

} // namespace

// frames(m) = floor((m + 1) R (1 + d) / 8000) - floor(m R (1 + d) / 8000), d in ppm.
uint32_t KorvanDevice::framesIn(uint64_t microframe) const
{
    const unsigned __int128 perMicroframe =
        (unsigned __int128)fRate * uint64_t(int64_t(1'000'000) + fDriftPpm);
    const unsigned __int128 scale = (unsigned __int128)8000 * 1'000'000;
    const unsigned __int128 end = (microframe + 1) * perMicroframe / scale;
    const unsigned __int128 start = microframe * perMicroframe / scale;
    return uint32_t(end - start);
}

const KorvanDevice::RecordFault* KorvanDevice::recordFault(uint64_t microframe) const
{
    for (const RecordFault& fault : fRecordFaults) {
        if (microframe >= fault.first && microframe - fault.first < fault.count) {
            return &fault;
        }
    }
    return nullptr;
}

// Channel c of frame n carries (n mod 65536) x 256 + c in its top 24 bits, or, on looped channels,
// what was played (zeros while nothing waits).
void KorvanDevice::fillRecordFrames(uint8_t* at, const Stream& stream, uint32_t frames)
{
    const uint32_t looped = fLoopback ? loopbackWidth() : 0;
    if (looped == 0 && stream.subslot == 4) {
        // The common layout, in words. The counters are copied out: stores through `at` might alias
        // the members, which would be reloaded after every word.
        const uint32_t channels = stream.channels;
        uint64_t sampleFrame = fSampleFrame;
        for (uint32_t i = 0; i < frames; ++i) {
            const uint32_t frame = uint32_t(sampleFrame++ & 0xFFFF) << 16;
            for (uint32_t channel = 0; channel < channels; ++channel) {
                const uint32_t word = frame | (channel & 0xFF) << 8;
                std::memcpy(at + 4 * channel, &word, 4);
            }
            at += 4 * channels;
        }
        fSampleFrame = sampleFrame;
        return;
    }
    for (uint32_t i = 0; i < frames; ++i) {
        const uint32_t frame = uint32_t(fSampleFrame & 0xFFFF) << 8;
        const bool available = looped != 0 && fLoopbackFifo.size() >= looped;
        for (uint32_t channel = 0; channel < stream.channels; ++channel) {
            uint32_t value = frame | (channel & 0xFF);
            if (channel < looped) {
                value = 0;
                if (available) {
                    value = uint32_t(fLoopbackFifo.front());
                    fLoopbackFifo.pop_front();
                }
            }
            if (stream.subslot == 4) {
                const uint32_t word = value << 8;
                std::memcpy(at, &word, 4);
            } else {
                // The top bytes of the 24-bit sample, as many as the subslot holds.
                for (uint32_t byte = 0; byte < stream.subslot; ++byte) {
                    at[byte] = uint8_t(value >> (8 * (3 - stream.subslot + byte)));
                }
            }
            at += stream.subslot;
        }
        ++fSampleFrame;
    }
}

SimUSB::InPacket KorvanDevice::isochronousIn(uint8_t endpoint, uint64_t microframe, std::span<uint8_t> space)
{
    std::lock_guard lock(fLock);
    const uint8_t alternate = fAlternates[kRecordInterface];
    if (endpoint != Endpoint::kRecord || fConfiguration != 1 || alternate == 0) {
        return SimUSB::InPacket::none();
    }
    const Stream& stream = fStreams[kRecordInterface][alternate];
    const RecordFault* fault = recordFault(microframe);
    const auto kind = fault ? fault->kind : RecordFault::Kind::Drop;
    if (fault && kind == RecordFault::Kind::StopResponding) {
        return SimUSB::InPacket::failed(SimUSB::kNotResponding);
    }
    const size_t header = fHeaderMode ? kHeaderBytes : 0;
    const size_t bytesPerFrame = size_t(stream.channels) * stream.subslot;
    uint32_t frames = framesIn(microframe);
    if (fault && kind == RecordFault::Kind::FillMaxPacket && bytesPerFrame != 0) {
        frames = uint32_t((stream.maxPacket - header) / bytesPerFrame);
    }
    if (header != 0) {
        frames = std::min<uint32_t>(frames, 255);
    }
    if (bytesPerFrame != 0) {
        frames = std::min<uint32_t>(frames, uint32_t((space.size() - header) / bytesPerFrame));
    }
    size_t length = header + frames * bytesPerFrame;

    if (fault && kind == RecordFault::Kind::CounterJump) {
        fFrameCounter += fault->jump;
    }
    fFrameCounter += frames;
    if (header != 0) {
        std::memcpy(space.data(), &fFrameCounter, 4);
        space[4] = uint8_t(frames);
    }
    fillRecordFrames(space.data() + header, stream, frames);
    // Header-off readers take eight 0xAA bytes at a frame's start for a packet not written; loopback
    // must not play them that.
    if (header == 0 && fLoopback && stream.subslot == 3) {
        for (size_t start = 0; start + 8 <= length; start += bytesPerFrame) {
            if (std::all_of(space.begin() + ptrdiff_t(start), space.begin() + ptrdiff_t(start + 8),
                            [](uint8_t b) { return b == 0xAA; })) {
                space[start] ^= 1;
                ++fFlipped;
            }
            if (bytesPerFrame == 0) {
                break;
            }
        }
    }
    fRecordFrames.push({microframe, frames});
    if (fault && kind == RecordFault::Kind::Babble) {
        length = std::min<size_t>(space.size(), stream.maxPacket + 1);
    }
    if (fault && kind == RecordFault::Kind::Drop) {
        return SimUSB::InPacket::none();
    }
    return SimUSB::InPacket::bytes(length);
}

} // namespace KorvanInterface
