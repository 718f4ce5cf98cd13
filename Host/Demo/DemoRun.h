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

// What happens to the device while a run streams, beyond the options a user gives.
struct Scenario
{
    // Rates an application asks for through 'nsrt', one after each segment of streaming.
    std::vector<uint32_t> hostRates;
    // The device changes to this rate by itself after the first segment (0: it never does).
    uint32_t deviceRate = 0;
    // Bursts of consecutive input packets the bus loses, spread over the run.
    std::vector<uint32_t> dropBursts;
    // The header of the packet after each burst carries a running total that jumped this far.
    uint32_t counterJump = 0;
};

// One start of audio: sample time starts anew with it, at the rate and width it streams in.
struct SegmentResult
{
    uint32_t rate = 0;
    uint32_t inputChannels = 0;
    LoopbackResult loopback;
    TimingResult timing;
};

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

    // Of the first segment, the one drops and the files are judged on.
    LoopbackResult loopback;
    TimingResult timing;
    // Every start of audio, the first included.
    std::vector<SegmentResult> segments;
    // Configuration changes the plug-in asked the host for, the rates the device was set to
    // (SET CUR of the clock's rate) and the status packets it sent on interrupt IN.
    size_t configurationChanges = 0;
    std::vector<uint32_t> ratesSet;
    size_t statusPackets = 0;
    std::vector<std::string> protocolErrors;
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
    // Starts the plug-in refused before audio started (see StartClientIO): the driver missed the
    // bus's frame boundary on every try of its first look at the frame clock.
    uint32_t refusedStarts = 0;
    // Periodic looks at the frame clock a driver missed while streaming (see LogScanResult).
    size_t missedSnapshots = 0;
    size_t dropReports = 0;
    // Log lines of a repair the plug-in gave up because a header's running total did not add up.
    size_t calculationErrors = 0;
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

RunResult RunDemo(const DemoOptions& options, const Scenario& scenario = {});

// The audio server's host with the plug-in loaded, once per process as the audio server keeps it.
AudioServerHost& SharedAudioServer();

} // namespace Demo
