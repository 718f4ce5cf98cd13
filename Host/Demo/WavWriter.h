#pragma once

// The recorded input as a 24-bit PCM WAV file, written as it comes.

#include <cstdint>
#include <string>

struct sf_private_tag;

namespace Demo {

class WavWriter
{
public:
    // Opens `path`; ok() tells whether it could.
    WavWriter(const std::string& path, uint32_t rate, uint32_t channels);
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool ok() const { return fFile != nullptr; }
    uint32_t channels() const { return fChannels; }
    // Interleaved frames of `channels()` samples; false when the file could not take them.
    bool write(const float* samples, uint32_t frames);
    const std::string& error() const { return fError; }

private:
    sf_private_tag* fFile = nullptr;
    uint32_t fChannels;
    std::string fError;
};

} // namespace Demo
