// The JTAG target on its own and driven by the updater's player through the USB adapter.
#include <Wrenlet/JtagTarget.h>

#include "FpgaPrograms.h"
#include "JamBuilder.h"
#include "JamFrontEnd.h"
#include "TapPaths.h"
#include "USB_FPGAAdapter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

using namespace JamOp;
using Wrenlet::JtagTarget;
using Wrenlet::TapState;

namespace {

// The IEEE 1149.1 table: [state][tms].
constexpr int kTransitions[16][2] = {{1, 0},   {1, 2},   {3, 9},   {4, 5},  {4, 5},   {6, 8},
                                     {6, 7},   {4, 8},   {1, 2},   {10, 0}, {11, 12}, {11, 12},
                                     {13, 15}, {13, 14}, {11, 15}, {1, 2}};

// TMS from Test-Logic-Reset to each state.
const char* const kFromReset[16] = {"",      "0",   "01",   "010",   "0100",  "0101",   "01010",   "010101",
                                    "01011", "011", "0110", "01100", "01101", "011010", "0110101", "011011"};

void clockAll(JtagTarget& target, const std::string& tms)
{
    for (const char c : tms) {
        target.clock(c == '1', false);
    }
}

TEST(JtagTarget, EveryTransitionOfTheTap)
{
    for (int state = 0; state < 16; ++state) {
        for (int tms = 0; tms < 2; ++tms) {
            JtagTarget target('A');
            clockAll(target, std::string("11111") + kFromReset[state]);
            target.clock(tms == 1, false);
            const std::vector<TapState> trace = target.stateTrace();
            EXPECT_EQ(int(trace.back()), kTransitions[state][tms]) << state << " tms " << tms;
        }
    }
}

// The target as the adapter's device.
USB_FPGA::DeviceRequest requester(JtagTarget& target, bool* gone = nullptr)
{
    return [&target, gone](uint8_t type, uint8_t request, uint16_t value, uint16_t index, void* data,
                           uint16_t length) -> IOReturn {
        if (gone && *gone) {
            return kIOReturnNoDevice;
        }
        const SimUSB::SetupPacket setup{type, request, value, index, length};
        const auto out = type == 0x40 ? std::span<const uint8_t>(static_cast<const uint8_t*>(data), length)
                                      : std::span<const uint8_t>();
        const auto answer = target.request(setup, out);
        if (!answer || answer->kind == SimUSB::ControlAnswer::Kind::Stall) {
            return kIOReturnNotResponding;
        }
        if (type == 0xC0 && length > 0) {
            std::memcpy(data, answer->data.data(), std::min<size_t>(length, answer->data.size()));
        }
        return kIOReturnSuccess;
    };
}

JamOutcome play(JtagTarget& target, const std::vector<uint8_t>& file, const std::string& action = "program",
                bool* gone = nullptr)
{
    USB_FPGA::BeginRun(requester(target, gone));
    ::testing::internal::CaptureStdout();
    const JamOutcome outcome = RunJamProgram(action, file.data(), file.size());
    USB_FPGA::EndRun();
    ::testing::internal::GetCapturedStdout();
    return outcome;
}

TEST(JtagTarget, EveryPathOfThePlayersWalkEndsInItsState)
{
    for (uint32_t from = 0; from < 16; ++from) {
        for (uint32_t to = 0; to < 16; ++to) {
            if (from == to) {
                continue;
            }
            JtagTarget target('A');
            JamBuilder b;
            b.op(ST, {from});
            b.op(SINT, {to});
            b.op(PSH0);
            b.op(EXIT);
            ASSERT_EQ(play(target, b.build()).status, 0);
            const std::vector<TapState> trace = target.stateTrace();
            const size_t first = 6 + (from == 1 ? 1 : std::strlen(kTapPaths[1][from]));
            const size_t reached = first + std::strlen(kTapPaths[from][to]);
            ASSERT_EQ(trace.size(), reached + 6) << from << " -> " << to;
            EXPECT_EQ(uint32_t(trace[first - 1]), from) << from << " -> " << to;
            EXPECT_EQ(uint32_t(trace[reached - 1]), to) << from << " -> " << to;
            EXPECT_EQ(target.programEnableTransitions(), (std::vector<bool>{true, false}));
        }
    }
}

TEST(JtagTarget, TheFixtureProgramsEachVariant)
{
    for (const char variant : {'A', 'B', 'C'}) {
        JtagTarget target(variant);
        target.setConfigured("0.9");
        const JamOutcome outcome = play(
            target,
            makeFpgaProgram({.variant = variant, .version = "1.0", .action = "run_file", .payload = 300}),
            "run_file");
        EXPECT_EQ(outcome.status, 0) << variant;
        EXPECT_EQ(outcome.exitCode, 0) << variant;
        EXPECT_EQ(target.fpgaVersion(), "1.0") << variant;
        for (const auto& request : target.requests()) {
            EXPECT_FALSE(request.stalled);
            EXPECT_LE(request.value, request.request == 0x02 && request.requestType == 0x40 ? 128 : 3);
        }
        EXPECT_EQ(target.programEnableTransitions(), (std::vector<bool>{true, false}));
    }
}

TEST(JtagTarget, TheVariantSetLaterDecidesWhatProgramsIt)
{
    JtagTarget target('A');
    target.setVariant('C');
    EXPECT_EQ(play(target, makeFpgaProgram({.variant = 'A'})).exitCode, 6);
    EXPECT_EQ(play(target, makeFpgaProgram({.variant = 'C'})).exitCode, 0);
    EXPECT_EQ(target.fpgaVersion(), "1.0");
}

TEST(JtagTarget, AWrongVariantExitsSixWithoutErasing)
{
    JtagTarget target('B');
    target.setConfigured("0.9");
    const JamOutcome outcome = play(target, makeFpgaProgram({.variant = 'A'}));
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.exitCode, 6);
    const std::vector<uint16_t> instructions = target.instructions();
    EXPECT_EQ(std::count(instructions.begin(), instructions.end(), JtagTarget::ERASE), 0);
    EXPECT_EQ(target.fpgaVersion(), "0.9");

    JtagTarget lying('A');
    lying.setIdcodeVariant('C');
    EXPECT_EQ(play(lying, makeFpgaProgram({.variant = 'A'})).exitCode, 6);
}

TEST(JtagTarget, TheLastIdleClocksConfigureOnlyWhenFlushedAtTheEnd)
{
    JtagTarget target('A');
    const JamOutcome outcome = play(target, makeFpgaProgram({.endWithIdleClocks = true}));
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(target.fpgaVersion(), "1.0");
}

TEST(JtagTarget, PowerLossAfterEraseLeavesNoVersionAndARetryConfigures)
{
    const std::vector<uint8_t> program = makeFpgaProgram({.payload = 2000});
    JtagTarget dryRun('A');
    ASSERT_EQ(play(dryRun, program).exitCode, 0);
    JtagTarget target('A');
    target.setConfigured("0.9");
    bool gone = false;
    // Halfway through the requests the bitstream is being loaded, well after ERASE.
    target.onRequest(unsigned(dryRun.requests().size() / 2), [&] {
        gone = true;
        target.powerLoss();
    });
    const JamOutcome cut = play(target, program, "program", &gone);
    EXPECT_EQ(cut.status, 19);
    EXPECT_EQ(target.fpgaVersion(), "");
    EXPECT_FALSE(target.programEnabled());
    gone = false;
    const JamOutcome retry = play(target, program);
    EXPECT_EQ(retry.exitCode, 0);
    EXPECT_EQ(target.fpgaVersion(), "1.0");
}

TEST(JtagTarget, RefusesMalformedRequestsAndClocksWhileDisabled)
{
    JtagTarget target('A');
    const auto stalled = [&](uint8_t type, uint8_t request, uint16_t value, uint16_t length,
                             std::vector<uint8_t> data = {}) {
        const auto answer = target.request({type, request, value, 7, length}, data);
        return answer && answer->kind == SimUSB::ControlAnswer::Kind::Stall;
    };
    EXPECT_TRUE(stalled(0x40, 0x02, 2, 1, {0}));
    EXPECT_TRUE(stalled(0xC0, 0x02, 0, 1));
    EXPECT_FALSE(stalled(0xC0, 0x01, 1, 0));
    EXPECT_TRUE(stalled(0x40, 0x02, 3, 1, {0}));
    EXPECT_TRUE(stalled(0x40, 0x02, 130, 17, std::vector<uint8_t>(17)));
    EXPECT_TRUE(stalled(0x40, 0x02, 16, 3, {0, 0, 0}));
    EXPECT_TRUE(stalled(0xC0, 0x02, 4, 1));
    EXPECT_FALSE(stalled(0x40, 0x02, 128, 16, std::vector<uint8_t>(16)));
    EXPECT_FALSE(target.request({0xC0, 0x06, 0, 7, 16}, {}));
    target.stallOnRequest(1);
    EXPECT_TRUE(stalled(0x40, 0x02, 2, 1, {0}));
    EXPECT_EQ(target.requests().size(), 9u);
}

} // namespace
