// The player's JTAG primitive as vendor requests to the running Wrenlet: clocks batched 64 to a
// request, a read costing one request per clock. One run at a time per process.
#pragma once

#include <IOKit/IOReturn.h>

#include <atomic>
#include <cstdint>
#include <functional>

namespace USB_FPGA {

// A device request to the run-mode unit (bmRequestType, bRequest, wValue, wIndex, data, wLength).
using DeviceRequest = std::function<IOReturn(uint8_t requestType, uint8_t request, uint16_t value,
                                             uint16_t index, void* data, uint16_t length)>;

constexpr uint16_t kJTAGIndex = 7;
constexpr uint8_t kRequestProgramEnable = 0x01;
constexpr uint8_t kRequestClocks = 0x02;
constexpr int kBatchBits = 128;

struct AdapterState
{
    DeviceRequest request;
    uint8_t pending[kBatchBits / 8] = {};
    int pendingBits = 0;
    // Program-enable was switched on in this run.
    bool jtag_hardware_initialized = false;
    // A request failed: nothing more is sent and the player stops at its next instruction.
    bool failed = false;
    // Set from another thread when the updater quits during a run.
    std::atomic<bool> stopRequested{false};
};

extern AdapterState g_usb_fpga;

// The start of a run against the device the requests go to.
void BeginRun(DeviceRequest request);
// One clock; with read, TDO sampled before the edge.
int HandleJTAG(int tms, int tdi, bool read);
// Sends the pending clocks.
void Flush();
// The end of a run: when it touched JTAG, the pending clocks are sent and program-enable switched off,
// whatever failed before.
void EndRun();
// Waits `nanoseconds` of host time, or until the run is asked to stop.
void Delay(uint64_t nanoseconds);
// Asks a run on another thread to stop before its next instruction, and ends a delay in progress.
void RequestStop();

} // namespace USB_FPGA
