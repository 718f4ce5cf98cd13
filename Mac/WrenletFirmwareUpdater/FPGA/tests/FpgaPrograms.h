// Jam programs that program the simulated Wrenlet's FPGA: check the IDCODE (EXIT 6 when it is not the
// variant's), enable, erase, load the bitstream word by word, DONE and the idle clocks, check the
// status (EXIT 10 when not configured), disable, EXIT 0 (or the code asked for).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FpgaProgramSpec
{
    enum class Stall
    {
        None,
        // A WAIT of half an hour.
        LongWait,
        // A loop that clocks nothing, for ever.
        Loop,
    };

    char variant = 'A';
    std::string version = "1.0";
    std::string action = "PROGRAM";
    // Payload bytes of the bitstream.
    size_t payload = 64;
    // The last lines: no status check, EXIT 0 straight after the idle clocks, so they are still pending
    // in the adapter when the run ends.
    bool endWithIdleClocks = false;
    // The code of the last EXIT of a configured run.
    int exitCode = 0;
    // One payload byte flipped after the bitstream's CRC was made: the target refuses it, EXIT 10.
    bool corruptBitstream = false;
    // Right after ENABLE the stack is pushed past its depth: the run stops with an error.
    bool overflowStackAfterEnable = false;
    // Right after ENABLE one bit is read back (the 33rd read of the run, after the IDCODE's 32), then
    // the run stalls.
    Stall stallAfterEnable = Stall::None;
};

std::vector<uint8_t> makeFpgaProgram(const FpgaProgramSpec& spec);
