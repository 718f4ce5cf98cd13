// The FPGA stage's run: the action of a Jam STAPL file played against the running Wrenlet.
#pragma once

#include "USB_FPGA.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>

class WRNA;

// Plays `action` of the byte code on the calling thread, its JTAG going to `device` as vendor
// requests, and posts FinishedFPGA with the run's status and exit code to the main queue for the
// client, if it is still there. A stop asked for through `stop` ends the run at its next instruction
// or wait. Answers true only for format 2's exit code 11 ("Device verify failure").
bool jam(std::stop_token stop, std::weak_ptr<USB_FPGA::Client> client, std::shared_ptr<WRNA> device,
         const std::string& action, const uint8_t* data, size_t length);
