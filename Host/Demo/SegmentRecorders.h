#pragma once

// The recording of a run whose audio starts again. After a rate change, announced by the device or
// asked by an application, the host starts the client's cycles again: sample time starts anew, and
// the stream may have another rate and width. Each start gets a recorder of its own, made when the
// host tells of the start, before any cycle runs; the host's cycles go to the newest.

#include "LoopbackCheck.h"
#include "Recorder.h"

#include <AudioServerHost.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Demo {

class SegmentRecorders
{
public:
    // What a start's input stream carries, from the configuration the host starts it in.
    using LayoutOf = std::function<InputLayout(const IOConfiguration& configuration)>;
    // The first segment is also written to `wavPath` (none when empty).
    SegmentRecorders(LayoutOf layoutOf, std::string wavPath);
    SegmentRecorders(const SegmentRecorders&) = delete;
    SegmentRecorders& operator=(const SegmentRecorders&) = delete;

    IOCallback callback();
    IOCycleObserver observer();
    IOStartObserver startObserver();

    // Forgets the newest start, which the plug-in refused: no cycle ran in it.
    void forgetRefusedStart();

    size_t count() const;
    // Waits (real time, at most `seconds`) until there are `segments` starts.
    bool waitForCount(size_t segments, double seconds) const;
    // The recorder of start `index` and the layout it recorded.
    Recorder& recorder(size_t index);
    InputLayout layout(size_t index) const;

private:
    struct Segment
    {
        InputLayout layout;
        std::unique_ptr<Recorder> recorder;
        IOCallback callback;
        IOCycleObserver observer;
    };

    void start(const IOConfiguration& configuration);
    Segment& at(size_t index) const;

    LayoutOf fLayoutOf;
    std::string fWavPath;
    mutable std::mutex fMutex;
    std::vector<std::unique_ptr<Segment>> fSegments;
    // Changed only while the host runs no cycle of the client.
    std::atomic<Segment*> fCurrent{nullptr};
};

} // namespace Demo
