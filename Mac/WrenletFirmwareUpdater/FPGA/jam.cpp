#include "jam.h"

#include "JamFrontEnd.h"
#include "USB_FPGAAdapter.h"
#include "WRNA.h"

#include <dispatch/dispatch.h>

bool jam(std::stop_token stop, std::weak_ptr<USB_FPGA::Client> client, std::shared_ptr<WRNA> device,
         const std::string& action, const uint8_t* data, size_t length)
{
    USB_FPGA::BeginRun([device](uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                                void* bytes, uint16_t byteCount) {
        return device->DeviceRequest(requestType, request, value, index, bytes, byteCount);
    });
    // A stop asked for before this point reaches the run at once.
    const std::stop_callback stopRun(stop, USB_FPGA::RequestStop);
    const JamOutcome outcome = RunJamProgram(action, data, length);
    USB_FPGA::EndRun();
    const USB_FPGA::Result result{outcome.status, outcome.exitCode};
    dispatch_async(dispatch_get_main_queue(), [client, result] {
        if (const std::shared_ptr<USB_FPGA::Client> alive = client.lock()) {
            alive->FinishedFPGA(result);
        }
    });
    return outcome.flag;
}
