#include "WavWriter.h"

#include <sndfile.h>

namespace Demo {

WavWriter::WavWriter(const std::string& path, uint32_t rate, uint32_t channels) : fChannels(channels)
{
    SF_INFO info = {};
    info.samplerate = int(rate);
    info.channels = int(channels);
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    fFile = sf_open(path.c_str(), SFM_WRITE, &info);
    if (fFile == nullptr) {
        fError = sf_strerror(nullptr);
    }
}

WavWriter::~WavWriter()
{
    if (fFile != nullptr) {
        sf_close(fFile);
    }
}

bool WavWriter::write(const float* samples, uint32_t frames)
{
    if (fFile == nullptr) {
        return false;
    }
    if (sf_writef_float(fFile, samples, frames) != sf_count_t(frames)) {
        fError = sf_strerror(fFile);
        return false;
    }
    return true;
}

} // namespace Demo
