#include "USB_FPGAAdapter.h"

#include "HostTime.h"

#include <mach/mach.h>
#include <mach/mach_time.h>

#include <climits>
#include <cstring>

namespace USB_FPGA {

AdapterState g_usb_fpga;

namespace {

constexpr uint64_t kNanosecondsPerSecond = 1'000'000'000;

// Signalled by every stop request, so that a delay in progress ends. It serves every run of the
// process: a signal no delay took is left to the next run, whose delay finds no stop and waits on.
semaphore_t StopSignal()
{
    static const semaphore_t signal = [] {
        semaphore_t created = 0;
        semaphore_create(mach_task_self(), &created, SYNC_POLICY_FIFO, 0);
        return created;
    }();
    return signal;
}

mach_timespec_t Timeout(uint64_t nanoseconds)
{
    const uint64_t seconds = nanoseconds / kNanosecondsPerSecond;
    return {seconds > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(seconds),
            static_cast<clock_res_t>(nanoseconds % kNanosecondsPerSecond)};
}

void send(uint8_t requestType, uint8_t request, uint16_t value, void* data, uint16_t length)
{
    if (!g_usb_fpga.request ||
        g_usb_fpga.request(requestType, request, value, kJTAGIndex, data, length) != kIOReturnSuccess) {
        g_usb_fpga.failed = true;
    }
}

} // namespace

void BeginRun(DeviceRequest request)
{
    g_usb_fpga.request = std::move(request);
    g_usb_fpga.pendingBits = 0;
    g_usb_fpga.jtag_hardware_initialized = false;
    g_usb_fpga.failed = false;
    g_usb_fpga.stopRequested = false;
}

int HandleJTAG(int tms, int tdi, bool read)
{
    tdi = tdi != 0;
    tms = tms != 0;
    if (g_usb_fpga.pendingBits == 0) {
        std::memset(g_usb_fpga.pending, 0, sizeof g_usb_fpga.pending);
    }
    if (!read) {
        const int bit = g_usb_fpga.pendingBits;
        g_usb_fpga.pending[bit / 8] |= uint8_t((tdi << (bit % 8)) | (tms << ((bit + 1) % 8)));
        g_usb_fpga.pendingBits += 2;
        if (g_usb_fpga.pendingBits == kBatchBits) {
            Flush();
        }
        return 0;
    }
    Flush();
    uint8_t tdo = 0;
    if (!g_usb_fpga.failed) {
        send(0xC0, kRequestClocks, uint16_t(tdi + 2 * tms), &tdo, 1);
    }
    return !g_usb_fpga.failed && tdo != 0;
}

void Flush()
{
    if (g_usb_fpga.pendingBits == 0) {
        return;
    }
    const int bits = g_usb_fpga.pendingBits;
    g_usb_fpga.pendingBits = 0;
    send(0x40, kRequestClocks, uint16_t(bits), g_usb_fpga.pending, uint16_t((bits + 7) / 8));
}

void EndRun()
{
    if (g_usb_fpga.jtag_hardware_initialized) {
        Flush();
        send(0xC0, kRequestProgramEnable, 0, nullptr, 0);
    }
    g_usb_fpga.jtag_hardware_initialized = false;
    g_usb_fpga.request = nullptr;
}

void Delay(uint64_t nanoseconds)
{
    const uint64_t deadline = vork::HostTime::DeadlineAfter(nanoseconds);
    for (uint64_t now = mach_absolute_time(); now < deadline && !g_usb_fpga.stopRequested;
         now = mach_absolute_time()) {
        semaphore_timedwait(StopSignal(), Timeout(vork::HostTime::NanosecondsFromTicks(deadline - now)));
    }
}

void RequestStop()
{
    g_usb_fpga.stopRequested = true;
    semaphore_signal(StopSignal());
}

} // namespace USB_FPGA
