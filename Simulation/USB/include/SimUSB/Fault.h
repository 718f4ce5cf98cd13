#pragma once

// Misbehaviour the bus injects on an endpoint of an attached device, whatever the model does.

#include <SimUSB/Status.h>

#include <cstdint>

namespace SimUSB {

struct Fault
{
    enum class Kind
    {
        // IN: the packet is lost (isochronous: nothing written, completeCount 0, `status` in the
        // frame entry; interrupt and bulk: the model's packet is discarded). OUT: the data is lost.
        Drop,
        // The packet (isochronous) or the transfer is not sent: kNotSent.
        NotSent,
        // The transfer completes with `status`, whatever its packets did.
        RequestStatus,
        // The endpoint halts: its transfers fail with kStalled until CLEAR_FEATURE(ENDPOINT_HALT).
        Stall,
        // The device does not answer: transfers wait for their time-out, isochronous packets fail
        // with kNotResponding.
        NoAnswer,
        // The device is unplugged in the middle of the transfer.
        Unplug,
        // Isochronous: the endpoint's transfers are accepted but neither served nor completed
        // until the faults are cleared, then served from the microframe under way on, the packets
        // of the microframes gone by meanwhile not sent (kNotSent); an abort completes them as
        // ever. Other transfers: as NoAnswer.
        Hold,
    };

    enum class Trigger
    {
        // Microframes [first, first + count) (absolute microframe numbers).
        Microframes,
        // Transfers submitted on the endpoint, counted from the injection: [first, first + count).
        Transfers,
        // Every microframe and transfer from now until the faults are cleared.
        FromNow,
    };

    Kind kind = Kind::Drop;
    Trigger trigger = Trigger::FromNow;
    uint64_t first = 0;
    uint64_t count = 1;
    Status status = kNotResponding;
};

} // namespace SimUSB
