// The USB adapter and the program's front end, against a logged device.
#include "JamBuilder.h"
#include "JamFrontEnd.h"
#include "JamStubs.h"
#include "USB_FPGAAdapter.h"

#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>
#include <DarwinTesting/ScopedTimebase.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace JamOp;

namespace {

struct Request
{
    uint8_t type, request;
    uint16_t value, index, length;
    std::vector<uint8_t> data;
};

// Answers every request, fails from the n-th on (counted from 1) when told to, and answers reads from
// a list of TDO bits.
struct LoggedDevice
{
    std::vector<Request> log;
    size_t failFrom = SIZE_MAX;
    std::vector<int> tdo;

    USB_FPGA::DeviceRequest requester()
    {
        return [this](uint8_t type, uint8_t request, uint16_t value, uint16_t index, void* data,
                      uint16_t length) {
            const auto* bytes = static_cast<const uint8_t*>(data);
            log.push_back(
                {type, request, value, index, length,
                 type == 0x40 ? std::vector<uint8_t>(bytes, bytes + length) : std::vector<uint8_t>{}});
            if (log.size() >= failFrom) {
                return IOReturn(kIOReturnNoDevice);
            }
            if (type == 0xC0 && request == USB_FPGA::kRequestClocks) {
                const size_t reads = readCount++;
                *static_cast<uint8_t*>(data) = uint8_t(reads < tdo.size() ? tdo[reads] : 0);
            }
            return IOReturn(kIOReturnSuccess);
        };
    }
    size_t readCount = 0;
};

class UsbFpgaTest : public ::testing::Test
{
protected:
    void SetUp() override { USB_FPGA::BeginRun(device.requester()); }
    void TearDown() override { USB_FPGA::BeginRun(nullptr); }

    // "type/request value length", one per request.
    std::vector<std::string> summary() const
    {
        std::vector<std::string> lines;
        for (const Request& r : device.log) {
            char line[64];
            std::snprintf(line, sizeof line, "%02X/%02X %u %u", r.type, r.request, r.value, r.length);
            lines.emplace_back(line);
            EXPECT_EQ(r.index, 7);
        }
        return lines;
    }

    LoggedDevice device;
};

TEST_F(UsbFpgaTest, SixtyThreeClocksThenADelayMakeOneFlush)
{
    for (int i = 0; i < 63; ++i) {
        jbi_jtag_io(i & 1, 0, 0);
    }
    jbi_delay(1);
    EXPECT_EQ(summary(), (std::vector<std::string>{"C0/01 1 0", "40/02 126 16"}));
    EXPECT_EQ(device.log[1].data[0], 0x88); // clocks 0 to 3: TMS 0, 1, 0, 1
}

TEST_F(UsbFpgaTest, SixtyFourClocksFlushWithoutADelay)
{
    for (int i = 0; i < 64; ++i) {
        jbi_jtag_io(0, 1, 0);
    }
    EXPECT_EQ(summary(), (std::vector<std::string>{"C0/01 1 0", "40/02 128 16"}));
    EXPECT_EQ(device.log[1].data, std::vector<uint8_t>(16, 0x55));
}

TEST_F(UsbFpgaTest, AReadFlushesThePendingClocksFirst)
{
    for (int i = 0; i < 10; ++i) {
        jbi_jtag_io(1, 0, 0);
    }
    device.tdo = {1};
    EXPECT_EQ(jbi_jtag_io(1, 0x20, 1), 1);
    EXPECT_EQ(summary(), (std::vector<std::string>{"C0/01 1 0", "40/02 20 3", "C0/02 3 1"}));
}

TEST_F(UsbFpgaTest, AReadFirstSendsOnlyProgramEnableAndTheRead)
{
    EXPECT_EQ(jbi_jtag_io(0, 0, 1), 0);
    EXPECT_EQ(summary(), (std::vector<std::string>{"C0/01 1 0", "C0/02 0 1"}));
}

TEST_F(UsbFpgaTest, ADelayWithNothingPendingSendsNothing)
{
    jbi_delay(1);
    EXPECT_TRUE(device.log.empty());
}

TEST_F(UsbFpgaTest, TdiHandedOverAsAMaskedByteIsOne)
{
    jbi_jtag_io(0, 0x20, 0);
    jbi_jtag_io(0, 0x80, 0);
    USB_FPGA::Flush();
    ASSERT_EQ(device.log.size(), 2u);
    EXPECT_EQ(device.log[1].data, std::vector<uint8_t>{0x05});
}

TEST_F(UsbFpgaTest, AFailedRequestStopsAllFurtherTraffic)
{
    device.failFrom = 2;
    for (int i = 0; i < 200; ++i) {
        jbi_jtag_io(0, 0, 0);
    }
    EXPECT_TRUE(jbi_cancelled());
    EXPECT_EQ(device.log.size(), 2u);
    USB_FPGA::EndRun();
    EXPECT_EQ(summary().back(), "C0/01 0 0");
}

TEST_F(UsbFpgaTest, AStopRequestCancels)
{
    EXPECT_FALSE(jbi_cancelled());
    USB_FPGA::RequestStop();
    EXPECT_TRUE(jbi_cancelled());
}

// A delay on a thread of its own, on the manual clock.
class UsbFpgaDelay : public UsbFpgaTest
{
protected:
    void Start(int64_t microseconds)
    {
        fStart = DarwinClock::hostNow();
        fThread = std::thread([this, microseconds] {
            jbi_delay(microseconds);
            fDone = true;
        });
    }

    // The delay waits on the clock until `end`.
    bool WaitsUntil(uint64_t end)
    {
        return DarwinTesting::eventually([&] { return fClock.nextDeadline() == end; });
    }

    // Whether the delay has returned; then, or with time run far enough to end it, its thread is joined.
    bool Ended()
    {
        const bool ended = DarwinTesting::eventually([&] { return fDone.load(); });
        if (!ended) {
            fClock.advance(std::chrono::hours(2));
        }
        fThread.join();
        return ended;
    }

    DarwinTesting::ManualClock fClock;
    uint64_t fStart = 0;
    std::atomic<bool> fDone = false;
    std::thread fThread;
};

// Fault: the delay took host-time ticks for nanoseconds. 125 / 3 counts 24 ticks a microsecond.
TEST_F(UsbFpgaDelay, LastsItsMicrosecondsOnAnyTimebase)
{
    for (const auto& [numer, denom] : {std::pair{1u, 1u}, std::pair{125u, 3u}}) {
        SCOPED_TRACE(std::to_string(numer) + "/" + std::to_string(denom));
        const DarwinTesting::ScopedTimebase timebase(numer, denom);
        fDone = false;
        Start(1'500'000);
        const uint64_t end = fStart + 1'500'000'000;
        EXPECT_TRUE(WaitsUntil(end));
        fClock.advanceTo(end - 1);
        EXPECT_FALSE(fDone);
        fClock.advanceTo(end);
        EXPECT_TRUE(Ended());
    }
}

// Fault: a delay ended only at its time, which held a quitting updater for as long.
TEST_F(UsbFpgaDelay, AStopEndsItWhileTheClockStands)
{
    Start(3'600'000'000);
    EXPECT_TRUE(WaitsUntil(fStart + 3'600'000'000'000));
    USB_FPGA::RequestStop();
    EXPECT_TRUE(Ended());
    EXPECT_EQ(DarwinClock::hostNow(), fStart);
}

std::vector<uint8_t> example()
{
    JamBuilder b;
    b.op(ST, {1});
    b.op(PSHL, {32});
    b.op(PSH0);
    b.op(DSSC);
    b.op(PINT);
    b.op(PRNT);
    b.op(PSH0);
    b.op(EXIT);
    return b.build();
}

// Runs the front end between BeginRun and EndRun, as jam does; returns what it printed.
std::string runFrontEnd(LoggedDevice& device, const std::string& action, const std::vector<uint8_t>& file,
                        JamOutcome& outcome)
{
    USB_FPGA::BeginRun(device.requester());
    ::testing::internal::CaptureStdout();
    outcome = RunJamProgram(action, file.data(), file.size());
    USB_FPGA::EndRun();
    return ::testing::internal::GetCapturedStdout();
}

TEST_F(UsbFpgaTest, TheEndOfARunFlushesThenSwitchesProgrammingOff)
{
    JamOutcome outcome;
    device.tdo = std::vector<int>(32, 1);
    const std::string printed = runFrontEnd(device, "program", example(), outcome);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_NE(printed.find("JBI_MSG: -1\r\n"), std::string::npos);
    const std::vector<std::string> requests = summary();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests.front(), "C0/01 1 0");
    // The end-of-run reset's six clocks are the last batch.
    EXPECT_EQ(requests[requests.size() - 2], "40/02 " + std::to_string(2 * (1 + 3 + 6)) + " 3");
    EXPECT_EQ(requests.back(), "C0/01 0 0");
}

TEST_F(UsbFpgaTest, ARunFailingBeforeJtagSendsNothing)
{
    JamOutcome outcome;
    runFrontEnd(device, "verify", example(), outcome);
    EXPECT_EQ(outcome.status, 24);
    EXPECT_TRUE(device.log.empty());
}

TEST_F(UsbFpgaTest, AStallCancelsTheRunAtTheNextInstruction)
{
    for (const size_t n : {1, 2, 3, 10}) {
        device = {};
        device.failFrom = n;
        JamOutcome outcome;
        const std::string printed = runFrontEnd(device, "program", example(), outcome);
        EXPECT_EQ(outcome.status, 19) << n;
        EXPECT_NE(printed.find(": execution cancelled.\r\nProgram terminated.\r\n"), std::string::npos)
            << printed;
        EXPECT_EQ(summary().back(), "C0/01 0 0") << n;
    }
}

std::vector<uint8_t> withCrcField(std::vector<uint8_t> file, uint32_t offset)
{
    for (int i = 0; i < 4; ++i) {
        file[0x28 + size_t(i)] = uint8_t(offset >> (24 - 8 * i));
    }
    return file;
}

std::vector<uint8_t> exiting(int code, int format = 2)
{
    JamBuilder b(format);
    b.op(PSHL, {uint32_t(code)});
    b.op(EXIT);
    return b.build();
}

TEST_F(UsbFpgaTest, PrintsAsTheFrontEndDoes)
{
    std::vector<uint8_t> corrupted = exiting(0);
    corrupted[corrupted.size() - 1] ^= 0xFF;
    const std::vector<uint8_t> good = exiting(0);
    const uint16_t crc = uint16_t(good[good.size() - 2] << 8 | good[good.size() - 1]);
    char matched[64];
    std::snprintf(matched, sizeof matched, "CRC matched: CRC value = %04X\r\n", crc);
    char mismatch[64];
    std::snprintf(mismatch, sizeof mismatch, "CRC mismatch: expected %04X, actual %04X\r\n", crc ^ 0xFF, crc);
    const struct
    {
        const char* name;
        std::vector<uint8_t> file;
        std::string action;
        std::string expected; // a part of what is printed
        bool flag;
    } rows[] = {
        {"CRC matched", good, "program", matched, false},
        {"not recognised", std::vector<uint8_t>(60, 0), "program", "Error: File format is not recognized.\r",
         false},
        {"CRC at length - 1", withCrcField(good, uint32_t(good.size() - 1)), "program",
         "Expected CRC not found, actual CRC value = ", false},
        {"CRC at length", withCrcField(good, uint32_t(good.size())), "program",
         "Expected CRC not found, actual CRC value = ", false},
        {"CRC mismatch", corrupted, "program", mismatch, false},
        {"unknown action", good, "erase",
         "Error: action \"erase\" is not supported for this Jam STAPL file.\r\nProgram terminated.\r\n",
         false},
        {"empty action", good, "", "Error: no action specified for Jam STAPL file.\r\nProgram terminated.\r",
         false},
        {"an error",
         [] {
             JamBuilder b;
             b.op(NOP), b.op(DUP);
             return b.build();
         }(),
         "program", "Error at address 1: stack overflow.\r\nProgram terminated.\r\n", false},
        {"exit 0", good, "program", "Exit code = 0... Success\r\n", false},
        {"exit 10", exiting(10), "program", "Exit code = 10... Device programming failure\r\n", false},
        {"exit 11", exiting(11), "program", "Exit code = 11... Device verify failure\r\n", true},
        {"exit 18", exiting(18), "program", "Exit code = 18... Unknown exit code\r\n", false},
        {"format 1 exit 6", exiting(6, 1), "program", "Exit code = 6... Device verify failure\r\n", false},
        {"format 1 exit 11", exiting(11, 1), "", "Exit code = 11... Unknown exit code\r\n", false},
    };
    for (const auto& row : rows) {
        device = {};
        JamOutcome outcome;
        const std::string printed = runFrontEnd(device, row.action, row.file, outcome);
        EXPECT_NE(printed.find(row.expected), std::string::npos) << row.name << ": " << printed;
        EXPECT_EQ(outcome.flag, row.flag) << row.name;
    }
}

} // namespace
