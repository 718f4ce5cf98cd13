// The plug-in's sample conversions for one 512-frame cycle, for 2 to 32 channels: device integers
// (4-byte and packed 3-byte subslots) into the chase buffer's floats, and the client's floats into
// 4-byte and packed 3-byte device samples. Peers: libswresample converting S32 and FLT, interleaved,
// at the same rate and channel count, and memcpy of the same output bytes. libsamplerate's
// conversions print beside them for reference.

#include "SampleConversion.h"

#include <benchmark/benchmark.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}
#include <samplerate.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kFrames = 512;
constexpr int kRate = 48000;
const uint32_t kChannelCounts[] = {2, 4, 8, 20, 32};

// Device samples: 24 bits at the top of 32, varying from sample to sample.
std::vector<int32_t> deviceSamples(uint32_t channels)
{
    std::vector<int32_t> samples(std::size_t(kFrames) * channels);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = int32_t((i * 2654435761u) & 0xFFFFFF00u);
    }
    return samples;
}

std::vector<float> clientSamples(uint32_t channels)
{
    std::vector<float> samples(std::size_t(kFrames) * channels);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = float(int(i % 2001) - 1000) / 1000.0f;
    }
    return samples;
}

std::vector<uint8_t> packed3(const std::vector<int32_t>& samples)
{
    std::vector<uint8_t> bytes(samples.size() * 3);
    PackSamples3(bytes.data(), samples.data(), uint32_t(samples.size()));
    return bytes;
}

// A libswresample context that only changes the sample format.
class Resampler
{
public:
    Resampler(uint32_t channels, AVSampleFormat from, AVSampleFormat to)
    {
        AVChannelLayout layout;
        av_channel_layout_default(&layout, int(channels));
        if (swr_alloc_set_opts2(&fContext, &layout, to, kRate, &layout, from, kRate, 0, nullptr) < 0 ||
            swr_init(fContext) < 0) {
            throw std::runtime_error("libswresample refused the conversion");
        }
        av_channel_layout_uninit(&layout);
    }
    ~Resampler() { swr_free(&fContext); }
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    void convert(void* to, const void* from)
    {
        auto* out = static_cast<uint8_t*>(to);
        const auto* in = static_cast<const uint8_t*>(from);
        swr_convert(fContext, &out, int(kFrames), &in, int(kFrames));
    }

private:
    SwrContext* fContext = nullptr;
};

// Device bytes into floats, as the chase does with each packet.
void inOurs(benchmark::State& state, uint32_t channels, uint32_t bytesPerSample)
{
    const std::vector<int32_t> samples = deviceSamples(channels);
    std::vector<uint8_t> bytes(samples.size() * bytesPerSample);
    if (bytesPerSample == 4) {
        std::memcpy(bytes.data(), samples.data(), bytes.size());
    } else {
        bytes = packed3(samples);
    }
    // Room for the overflow area behind the end, which the conversion may write into.
    std::vector<float> chase(samples.size() * 2);
    float* const start = chase.data();
    const float* const end = start + samples.size() + channels;
    uint64_t frames = 0;
    for (auto _ : state) {
        float* position = start;
        CopyUframeIntoChaseBuffer(start, end, position, bytes.data(), uint32_t(bytes.size()),
                                  bytesPerSample * channels, channels, frames);
        benchmark::DoNotOptimize(position);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(samples.size() * sizeof(float)));
}

// Floats into device bytes, as the output path does: 4-byte subslots directly, 3-byte ones through
// a scratch area packed afterwards.
void outOurs(benchmark::State& state, uint32_t channels, uint32_t bytesPerSample)
{
    const std::vector<float> samples = clientSamples(channels);
    const std::vector<float> gains(32, 1.0f);
    std::vector<int32_t> words(samples.size());
    std::vector<uint8_t> bytes(samples.size() * 3);
    for (auto _ : state) {
        WriteSamples(words.data(), samples.data(), kFrames, channels, gains.data());
        if (bytesPerSample == 3) {
            PackSamples3(bytes.data(), words.data(), uint32_t(words.size()));
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(samples.size() * bytesPerSample));
}

void swrPeer(benchmark::State& state, uint32_t channels, bool toFloat)
{
    const std::vector<int32_t> ints = deviceSamples(channels);
    const std::vector<float> floats = clientSamples(channels);
    std::vector<int32_t> intsOut(ints.size());
    std::vector<float> floatsOut(ints.size());
    Resampler resampler(channels, toFloat ? AV_SAMPLE_FMT_S32 : AV_SAMPLE_FMT_FLT,
                        toFloat ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_S32);
    for (auto _ : state) {
        if (toFloat) {
            resampler.convert(floatsOut.data(), ints.data());
        } else {
            resampler.convert(intsOut.data(), floats.data());
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(ints.size() * 4));
}

void memcpyPeer(benchmark::State& state, std::size_t bytes)
{
    std::vector<uint8_t> from(bytes, 0x5A);
    std::vector<uint8_t> to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

void samplerateReference(benchmark::State& state, uint32_t channels, bool toFloat)
{
    const std::vector<int32_t> ints = deviceSamples(channels);
    const std::vector<float> floats = clientSamples(channels);
    std::vector<int> intsOut(ints.size());
    std::vector<float> floatsOut(ints.size());
    for (auto _ : state) {
        if (toFloat) {
            src_int_to_float_array(ints.data(), floatsOut.data(), int(ints.size()));
        } else {
            src_float_to_int_array(floats.data(), intsOut.data(), int(floats.size()));
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(ints.size() * 4));
}

template <class Ours, class Peer>
void registerPair(const std::string& pair, const std::string& argument, Ours ours, Peer peer)
{
    benchmark::RegisterBenchmark((pair + "/ours/" + argument).c_str(), ours);
    benchmark::RegisterBenchmark((pair + "/peer/" + argument).c_str(), peer);
}

const int sRegistered = [] {
    for (const uint32_t channels : kChannelCounts) {
        const std::string argument = "ch" + std::to_string(channels);
        const std::size_t samples = std::size_t(kFrames) * channels;
        const auto in4 = [channels](benchmark::State& state) { inOurs(state, channels, 4); };
        const auto in3 = [channels](benchmark::State& state) { inOurs(state, channels, 3); };
        const auto out4 = [channels](benchmark::State& state) { outOurs(state, channels, 4); };
        const auto out3 = [channels](benchmark::State& state) { outOurs(state, channels, 3); };
        const auto floatCopy = [samples](benchmark::State& state) { memcpyPeer(state, samples * 4); };
        const auto packedCopy = [samples](benchmark::State& state) { memcpyPeer(state, samples * 3); };

        registerPair("sample_in4_swr", argument, in4,
                     [channels](benchmark::State& state) { swrPeer(state, channels, true); });
        registerPair("sample_in4_memcpy", argument, in4, floatCopy);
        registerPair("sample_in3_memcpy", argument, in3, floatCopy);
        registerPair("sample_in4_samplerate", argument, in4,
                     [channels](benchmark::State& state) { samplerateReference(state, channels, true); });
        registerPair("sample_out4_swr", argument, out4,
                     [channels](benchmark::State& state) { swrPeer(state, channels, false); });
        registerPair("sample_out4_memcpy", argument, out4, floatCopy);
        registerPair("sample_out3_memcpy", argument, out3, packedCopy);
        registerPair("sample_out4_samplerate", argument, out4,
                     [channels](benchmark::State& state) { samplerateReference(state, channels, false); });
    }
    return 0;
}();

} // namespace

BENCHMARK_MAIN();
