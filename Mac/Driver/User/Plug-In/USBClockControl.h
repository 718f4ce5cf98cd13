#pragma once

// Reads and sets a device's sample rate with UAC2 CUR requests on its clock entities: the first
// clock selector names, through its current pin, the clock source whose sampling-frequency control
// carries the rate.

#include "KorvanDeviceIO.h"

#include <cstdint>

class KorvanServiceClient;

constexpr uint32_t kFallbackSampleRate = 48000;

// One of 44100, 48000, 88200, 96000, 176400 and 192000. Compared as a double, so that no value
// of a client is converted before it is known to be one of them.
bool IsSupportedSampleRate(double rate);

// A CUR request on the audio-control interface. A GET gives the bytes received, up to `length`
// (0 when the device answered more); a SET gives 0.
int SendAudioClassRequest(KorvanServiceClient& client, bool set, uint8_t controlSelector, uint8_t entity,
                          void* data, uint8_t length);

// The clock-source descriptor the device's clock selector currently points at; null when there is
// no selector, its pin is 0 or lies past its pins, or the pin names no clock source.
const uint8_t* GetCurrentClockSourceDesc(KorvanServiceClient& client, const uint8_t* begin,
                                         const uint8_t* end);

// The clock source's frequency control is host-programmable.
bool CanSetSampleRate(KorvanServiceClient& client, const KorvanDeviceIO::USBDescriptors& descriptors);

// Sends a supported rate the device does not run yet; any other request is skipped.
void SetDeviceSampleRate(KorvanServiceClient& client, const KorvanDeviceIO::USBDescriptors& descriptors,
                         uint32_t rate);

// The device's rate, in three tries 10 ms apart. A try counts only when 4 bytes of a supported rate
// came back; after three failures the result is 48000 and `valid` false.
uint32_t GetDeviceSampleRate(KorvanServiceClient& client, const KorvanDeviceIO::USBDescriptors& descriptors,
                             bool& valid);
