// The player's stubs in the updater: JTAG through the USB adapter, messages to standard output, waits
// that a stop ends, exports ignored, storage from the heap.
#include "JamStubs.h"
#include "USB_FPGAAdapter.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using USB_FPGA::g_usb_fpga;

int jbi_jtag_io(int tms, int tdi, int read_tdo)
{
    if (g_usb_fpga.failed) {
        return 0;
    }
    if (!g_usb_fpga.jtag_hardware_initialized) {
        g_usb_fpga.pendingBits = 0;
        g_usb_fpga.jtag_hardware_initialized = true;
        if (!g_usb_fpga.request || g_usb_fpga.request(0xC0, USB_FPGA::kRequestProgramEnable, 1,
                                                      USB_FPGA::kJTAGIndex, nullptr, 0) != kIOReturnSuccess) {
            g_usb_fpga.failed = true;
            return 0;
        }
    }
    return USB_FPGA::HandleJTAG(tms, tdi, read_tdo != 0);
}

void jbi_message(const char* message_text)
{
    std::printf("JBI_MSG: %s\r\n", message_text);
}

void jbi_delay(int64_t microseconds)
{
    USB_FPGA::Flush();
    if (microseconds > 0) {
        constexpr uint64_t kNanosecondsPerMicrosecond = 1000;
        const uint64_t nanoseconds = uint64_t(microseconds) > UINT64_MAX / kNanosecondsPerMicrosecond
                                         ? UINT64_MAX
                                         : uint64_t(microseconds) * kNanosecondsPerMicrosecond;
        USB_FPGA::Delay(nanoseconds);
    }
}

void jbi_export_integer(const char*, int64_t) {}

void jbi_export_boolean_array(const char*, const uint8_t*, int64_t) {}

void* jbi_malloc(size_t size)
{
    return std::malloc(size);
}

void jbi_free(void* ptr)
{
    std::free(ptr);
}

bool jbi_cancelled()
{
    return g_usb_fpga.failed || g_usb_fpga.stopRequested;
}
