#pragma once

// One run of the audio demo: the simulated system built, the plug-in loaded as the audio server
// loads it, the device streamed through as an application streams, every recorded sample checked,
// and the WAV, the plot and the bus capture written.

#include "DemoOptions.h"
#include "LoopbackCheck.h"
#include "PlugInDevice.h"
#include "TimingCheck.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Demo {

struct RunResult
{
    DemoOptions options;
    std::string serial;
    bool deviceAppeared = false;
    DeviceFacts facts;
    // "kernel extension" or "driver extension"; the latter is reached through the adapter.
    std::string driver;
    bool throughAdapter = false;
    bool headersOn = false;
    double dropPercent = 0;
    bool realTimePriority = false;

    LoopbackResult loopback;
    TimingResult timing;
    uint64_t dropsInjected = 0;
    uint64_t droppedFrames = 0;
    // Silence in place of dropped frames (with headers), or dropped frames skipped (without).
    uint64_t repairedFrames = 0;
    uint64_t repairedStretches = 0;
    // Dropped frames an IO cycle read before their repair reached the plug-in's buffer (with
    // headers): they came back one period old, counted with the late bus writes.
    uint64_t readBeforeRepairFrames = 0;
    uint64_t skippedFrames = 0;
    // Silence no dropped packet or read of the buffer before it was written explains: lost frames.
    uint64_t unexplainedSilence = 0;
    // Input read before it reached the plug-in's buffer: frames one period old, or silence where
    // the buffer held silence one period earlier.
    uint64_t lateBusFrames = 0;
    uint64_t lateFrames = 0;
    // Of the late cycles' output, the frames that came back as silence.
    uint64_t xrunSilenceFrames = 0;
    uint64_t overruns = 0;
    size_t dropReports = 0;
    size_t mirrorMismatches = 0;
    // What the device saw: the alternate setting streaming used on its record interface, whether
    // both streaming interfaces were back at alternate 0 at the end, and the vendor requests for
    // the streaming-header version.
    uint8_t streamingAlternate = 0;
    bool interfacesIdleAtEnd = false;
    size_t headerVersionRequests = 0;
    std::vector<std::string> unexpectedLogLines;

    // The process's resident size after 10 s of streaming and at the end, in bytes (0 when the run
    // was shorter).
    uint64_t residentAfter10s = 0;
    uint64_t residentAtEnd = 0;

    std::string wavPath;
    std::string pngPath;
    std::string capturePath;

    bool pass = false;
    std::string reason;
};

RunResult RunDemo(const DemoOptions& options);

// The audio server's host with the plug-in loaded, once per process as the audio server keeps it.
AudioServerHost& SharedAudioServer();

} // namespace Demo
