#include "USB_FPGAAdapter.h"

#include <cstring>

namespace USB_FPGA {

AdapterState g_usb_fpga;

namespace {

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

void RequestStop()
{
    g_usb_fpga.stopRequested = true;
}

} // namespace USB_FPGA
