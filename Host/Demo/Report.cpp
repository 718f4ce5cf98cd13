#include "Report.h"

#include <cstdio>
#include <sstream>

namespace Demo {

namespace {

std::string Fixed(double value, int decimals)
{
    char text[48];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

std::string Signed(int32_t value)
{
    return (value > 0 ? "+" : "") + std::to_string(value);
}

std::string Milliseconds(int64_t frames, uint32_t rate)
{
    return Fixed(double(frames) * 1000 / rate, 2) + " ms";
}

} // namespace

int64_t RoundTripFrames(const RunResult& r)
{
    return r.loopback.latencyFrames + 2 * int64_t(r.options.bufferFrames) + r.facts.inputSafetyOffset +
           r.facts.outputSafetyOffset;
}

std::string FormatReport(const RunResult& r)
{
    const DemoOptions& o = r.options;
    const LoopbackResult& l = r.loopback;
    std::ostringstream text;
    text << "Tide audio demo\n";
    text << "  device:        " << KorvanInterface::modelInfo(o.model).product << " (serial " << r.serial
         << ", UID " << (r.facts.uid.empty() ? "-" : r.facts.uid) << ")\n";
    text << "  rate:          " << o.rate << " Hz, buffer " << o.bufferFrames << " frames, "
         << o.durationSeconds << " s\n";
    text << "  driver:        " << (r.driver.empty() ? "none" : r.driver)
         << (r.throughAdapter ? " (through the kernel-numbering adapter)" : "") << "\n";
    text << "  headers:       "
         << (r.headersOn ? "on (version " + std::to_string(o.headerVersion) + ")" : std::string("off"))
         << "\n";
    text << "  drift:         " << Signed(o.driftPpm) << " ppm; input drops " << Fixed(r.dropPercent, 2)
         << " %\n";
    text << "  IO thread:     "
         << (r.realTimePriority ? "real-time priority" : "normal priority (no real-time class allowed)")
         << "\n";
    if (!r.deviceAppeared) {
        text << "FAIL: " << r.reason << "\n";
        return text.str();
    }
    const int64_t roundTrip = RoundTripFrames(r);
    text << "Round trip (an application writing a frame until it reads it back)\n";
    text << "  measured:      " << roundTrip << " frames (" << Milliseconds(roundTrip, o.rate) << "), "
         << (l.latencyConstant ? "constant" : "changed during the run") << "; of it " << l.latencyFrames
         << " frames from played to recorded sample time\n";
    text << "  reported:      buffer " << o.bufferFrames << " x 2, safety offsets in "
         << r.facts.inputSafetyOffset << " / out " << r.facts.outputSafetyOffset << ", latency in "
         << r.facts.inputLatency << " / out " << r.facts.outputLatency << ": "
         << 2 * o.bufferFrames + r.facts.inputSafetyOffset + r.facts.outputSafetyOffset +
                r.facts.inputLatency + r.facts.outputLatency
         << " frames\n";
    text << "Samples\n";
    text << "  compared:      " << l.framesCompared << " frames on " << l.playedChecksums.size()
         << " channels\n";
    text << "  lost:          " << (l.lost - r.skippedFrames) << "\n";
    text << "  duplicated:    " << l.duplicated << "\n";
    if (l.loopbackUnderrunFrames != 0) {
        text << "  device loopback: " << l.loopbackUnderrunFrames
             << " frames of silence inserted while nothing played was waiting\n";
    }
    text << "Packet drops\n";
    text << "  injected:      " << r.dropsInjected << " (" << r.droppedFrames << " frames)\n";
    text << "  repaired:      " << r.repairedStretches << " stretches, " << r.repairedFrames
         << " frames of silence inserted\n";
    if (r.readBeforeRepairFrames != 0) {
        text << "  read early:    " << r.readBeforeRepairFrames
             << " dropped frames read before their repair reached the plug-in (late bus)\n";
    }
    text << "  skipped:       " << r.skippedFrames << " frames\n";
    text << "  in the log:    " << r.dropReports << " reports of dropped packets\n";
    if (r.unexplainedSilence != 0) {
        text << "  unexplained:   " << r.unexplainedSilence << " frames of silence no drop explains (lost)\n";
    }
    text << "  mirror check:  " << r.mirrorMismatches
         << " OUT microframes whose size differs from the input they mirror\n";
    text << "Zero timestamps\n";
    text << "  reported:      " << r.timing.zeroTimeStamps << "\n";
    text << "  jitter:        RMS " << Fixed(r.timing.jitterRmsUs, 2) << " µs, max "
         << Fixed(r.timing.jitterMaxUs, 2) << " µs\n";
    if (r.timing.estimatedRate > 0) {
        text << "  device rate:   " << Fixed(r.timing.estimatedRate, 3) << " Hz from the timestamps ("
             << Fixed(r.timing.rateErrorPpm, 2) << " ppm off the device)\n";
    } else {
        text << "  device rate:   not judged (the zero-time filter settles over about 9 s: runs of 18 s "
                "or more are judged)\n";
    }
    text << "IO cycles\n";
    text << "  cycles:        " << r.timing.cycles << ", wake-up lateness max "
         << Fixed(r.timing.wakeLatenessMaxUs, 0) << " µs\n";
    text << "  xruns:         " << r.timing.lateCycles << " late cycles (" << r.lateFrames << " frames";
    if (r.xrunSilenceFrames != 0) {
        text << ", " << r.xrunSilenceFrames << " of them back as silence";
    }
    text << ")\n";
    if (r.lateBusFrames != 0) {
        text << "  late bus:      " << r.lateBusFrames
             << " input frames read before they reached the plug-in (an artefact of a busy machine)\n";
    }
    if (r.loopback.stoppedInputFrames != 0) {
        text << "  input stopped: " << r.loopback.stoppedInputFrames
             << " input frames two or more periods old (the plug-in's buffer was not written for a period)\n";
    }
    if (r.refusedStarts != 0) {
        text << "  refused starts: " << r.refusedStarts
             << " (the driver missed the bus's frame boundary on every try of its first look at the frame "
                "clock; asked again)\n";
    }
    if (r.missedSnapshots != 0) {
        text << "  missed clock: " << r.missedSnapshots
             << " looks at the frame clock that missed every boundary (the driver kept its clock; "
                "judged by the zero timestamps)\n";
    }
    if (r.overruns != 0) {
        text << "  recorder:      " << r.overruns << " cycles not recorded (the checker fell behind)\n";
    }
    text << "Files\n";
    text << "  recording:     " << r.wavPath << "\n";
    text << "  plot:          " << r.pngPath << "\n";
    text << "  bus capture:   " << r.capturePath << " (read it with: tshark -r " << r.capturePath << ")\n";
    text << (r.pass ? "PASS" : "FAIL: " + r.reason) << "\n";
    return text.str();
}

std::string FormatSummary(const RunResult& r)
{
    std::ostringstream text;
    text << "round_trip_frames=" << RoundTripFrames(r) << "\n";
    text << "latency_frames=" << r.loopback.latencyFrames << "\n";
    text << "frames_compared=" << r.loopback.framesCompared << "\n";
    text << "lost=" << (r.loopback.lost - r.skippedFrames) << "\n";
    text << "duplicated=" << r.loopback.duplicated << "\n";
    text << "drops_injected=" << r.dropsInjected << "\n";
    text << "repaired_frames=" << r.repairedFrames << "\n";
    text << "zero_timestamps=" << r.timing.zeroTimeStamps << "\n";
    text << "late_cycles=" << r.timing.lateCycles << "\n";
    text << "pass=" << (r.pass ? 1 : 0) << "\n";
    return text.str();
}

} // namespace Demo
