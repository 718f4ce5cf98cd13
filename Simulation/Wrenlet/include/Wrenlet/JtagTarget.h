#pragma once

// The Wrenlet's FPGA behind its JTAG port, as the run-mode firmware exposes it through vendor
// requests (wIndex 7): program-enable, clock batches and single clocks with a read. The TAP has a
// 10-bit instruction register and instruction codes of the model's own. Configuration memory is
// non-volatile; a power loss drops the TAP and the programming state and keeps the memory as it is.
// Thread-safe.

#include <Wrenlet/FpgaBitstream.h>
#include <Wrenlet/JtagTap.h>

#include <SimUSB/Device.h>
#include <SimUSB/Setup.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Wrenlet {

class JtagTarget
{
public:
    static constexpr int kIRLength = 10;
    static constexpr uint8_t kRequestProgramEnable = 0x01;
    static constexpr uint8_t kRequestClocks = 0x02;
    // Run-Test/Idle clocks after DONE before the configuration completes.
    static constexpr unsigned kDoneClocks = 100;

    enum Instruction : uint16_t
    {
        IDCODE = 0x016,
        ENABLE = 0x0C3,
        ERASE = 0x0E5,
        PROGRAM = 0x0F2,
        STATUS = 0x0A9,
        DONE = 0x0D7,
        DISABLE = 0x0BC,
        BYPASS = 0x3FF,
    };

    enum StatusFlag : uint32_t
    {
        Erased = 1,
        Programming = 2,
        Configured = 4,
        Error = 8,
    };

    static uint32_t idcodeOf(char variant);

    struct Shift
    {
        bool ir;
        size_t length;
        // The register's content after the shift, its low 64 bits.
        uint64_t value;
    };

    struct Request
    {
        uint8_t requestType, request;
        uint16_t value, length;
        bool stalled;
    };

    explicit JtagTarget(char variant);

    // A JTAG vendor request; nullopt for any other request.
    std::optional<SimUSB::ControlAnswer> request(const SimUSB::SetupPacket& setup,
                                                 std::span<const uint8_t> data);
    // One TCK cycle: TDO as it was before the edge.
    bool clock(bool tms, bool tdi);
    // TDO now: the low bit of the register being shifted, else 0.
    bool tdo() const;
    void powerLoss();

    // The configured FPGA's version; empty when nothing valid is configured.
    std::string fpgaVersion() const;
    // Factory state: the FPGA's variant (its IDCODE and the bitstreams it takes), and a configured FPGA
    // of that version.
    void setVariant(char variant);
    void setConfigured(const std::string& version);

    // Knobs.
    void setIdcodeVariant(char variant);
    // Answers for the next reads, in place of the register's TDO.
    void scriptTdo(std::vector<bool> bits);
    // Counted over the JTAG requests from 1.
    void stallOnRequest(unsigned n);
    void onRequest(unsigned n, std::function<void()> action);

    // Records.
    std::vector<TapState> stateTrace() const;
    std::vector<Shift> shifts() const;
    std::vector<Request> requests() const;
    std::vector<bool> programEnableTransitions() const;
    std::vector<uint16_t> instructions() const;
    uint32_t status() const;
    bool programEnabled() const;

private:
    bool clockLocked(bool tms, bool tdi);
    void captureDR();
    void updateIR();
    void updateDR();
    void completeConfiguration();
    uint32_t statusLocked() const;
    std::optional<SimUSB::ControlAnswer> answer(const SimUSB::SetupPacket& setup,
                                                std::span<const uint8_t> data);

    mutable std::mutex fLock;
    char fVariant;
    char fIdcodeVariant;

    // Volatile state.
    bool fProgramEnabled = false;
    TapState fState = TapState::TestLogicReset;
    uint16_t fIR = IDCODE;
    uint64_t fIRShift = 0;
    uint64_t fDR = 0;
    int fDRLength = 1;
    size_t fShifted = 0;
    bool fProgramming = false;
    bool fDonePending = false;
    unsigned fIdleClocks = 0;

    // Non-volatile.
    std::vector<uint8_t> fMemory;
    bool fErased = false;
    bool fError = false;
    std::optional<FpgaConfiguration> fConfigured;

    std::deque<bool> fScriptedTdo;
    unsigned fRequestCount = 0;
    std::optional<unsigned> fStallAt;
    std::optional<unsigned> fActionAt;
    std::function<void()> fAction;

    std::vector<TapState> fTrace;
    std::vector<Shift> fShifts;
    std::vector<Request> fRequests;
    std::vector<bool> fEnableTransitions;
    std::vector<uint16_t> fInstructions;
};

} // namespace Wrenlet
