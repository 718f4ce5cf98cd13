#pragma once

// The driver's own chase of a completed input request, on its record of each block: it checks the
// request's packets against their streaming headers and corrects the frame list's byte counts, so
// that the output built from them and the running counts follow the frames the device sent, also
// where packets were lost on the bus. Where the plug-in has chased the request already, its lengths
// are taken. Only lengths are corrected; samples never move.

#include <USBDriverKit/USBTypes.h>

#include <KorvanChaseRoutinesMac.h>

class InputSanitizer
{
public:
    // `ring` is the first block of the input ring; packets sit at a stride of the max packet size.
    InputSanitizer(KorvanDeviceIO::USBRequestBlock* ring, uint32_t maxPacketSize, uint32_t bytesPerFrame,
                   uint8_t headerVersion);

    void sanitize(KorvanDeviceIO::USBRequestBlock& block, IOUSBIsochronousFrame* frames);

private:
    using InputChaser =
        KorvanDeviceIO::USBInputChaser<KorvanDeviceIO::Driver::Dext, KorvanDeviceIO::NoOpLogThread>;

    KorvanDeviceIO::USBRequestIter at(KorvanDeviceIO::USBRequestBlock& block, uint32_t packet) const;
    // A stretch of lost packets found from the previous request may end in this one: that chase
    // has recorded this request's first packets already, and this one goes on after them.
    KorvanDeviceIO::USBRequestIter firstUnchased(KorvanDeviceIO::USBRequestBlock& block,
                                                 uint64_t blockMicroframe) const;
    void recordPacket(const KorvanDeviceIO::USBRequestIter& it, uint32_t length);
    // Takes the record's lengths where they differ from what the controller reported.
    void takeLengths(const KorvanDeviceIO::ChaseRecord& record, IOUSBIsochronousFrame* frames) const;
    enum class Repair
    {
        Done,
        // A stretch was found, but nothing has arrived after its end yet.
        Unsettled,
        Failed,
    };
    Repair MaybeHandleDroppedIsoc(const KorvanDeviceIO::USBRequestIter& current,
                                  const KorvanDeviceIO::USBRequestIter& next,
                                  KorvanDeviceIO::USBRequestIter* found, int packetsRemaining,
                                  int* packetsChased);

    KorvanDeviceIO::USBRequestBlock* fRing;
    uint32_t fMaxPacketSize;
    uint32_t fBytesPerFrame;
    KorvanDeviceIO::NoOpLogThread fNoLog;
    InputChaser fChaser;
};
