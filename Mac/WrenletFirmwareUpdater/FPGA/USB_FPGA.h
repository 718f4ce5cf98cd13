#pragma once

// What the updater and the FPGA player agree on: the player's result, the client it reports to on
// the main queue, and the player's entry point.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

class WRNA;

namespace USB_FPGA {

struct Result
{
    // The player's status code and the program's exit code; both 0 is a programmed FPGA.
    int status = 0;
    int exitCode = 0;

    bool succeeded() const { return status == 0 && exitCode == 0; }
};

class Client
{
public:
    virtual ~Client() = default;
    virtual void FinishedFPGA(Result result) = 0;
};

// Runs `action` of the byte-code `data` against `device` on the calling thread until it ends or `stop`
// is asked for, then posts FinishedFPGA to the main queue for the client, if it still exists.
using Player =
    std::function<void(std::stop_token stop, std::weak_ptr<Client> client, std::shared_ptr<WRNA> device,
                       const std::string& action, const uint8_t* data, size_t length)>;

} // namespace USB_FPGA
