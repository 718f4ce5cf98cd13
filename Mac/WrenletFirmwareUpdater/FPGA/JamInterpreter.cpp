// jbi_execute: set-up, the instruction loop and the instructions' semantics.
#include "JamBitBuffer.h"
#include "JamFile.h"
#include "JamJtag.h"
#include "JamPlayer.h"
#include "JamProcedures.h"
#include "JamStubs.h"
#include "JamVariables.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace {

constexpr int64_t kStackLimit = 128;
// Room for the most any one instruction pushes before the depth check after it.
constexpr int64_t kStackHeadroom = 4;
constexpr size_t kMessageLimit = 1024;
constexpr int kCancelCheckInterval = 256;
// An opcode and three operand words.
constexpr uint64_t kLongestInstruction = 13;
// BCH0 as the stack operations it stands for: SWP, SWPN 7, SWP, SWPN 6, DUPN 8, SWPN 2, SWP, DUPN 6, DUPN 6.
constexpr std::pair<bool, int> kBatch0[] = {{true, 1}, {true, 7}, {true, 1},  {true, 6}, {false, 8},
                                            {true, 2}, {true, 1}, {false, 6}, {false, 6}};

// A big-endian word at an address already checked, in one load.
uint32_t be32(const uint8_t* at)
{
    uint32_t word;
    std::memcpy(&word, at, sizeof word);
    return std::endian::native == std::endian::little ? __builtin_bswap32(word) : word;
}

// Arithmetic wraps at 64 bits.
int64_t wrap(uint64_t value)
{
    return int64_t(value);
}

std::optional<int64_t> span(int64_t right, int64_t left)
{
    int64_t difference = 0;
    int64_t count = 0;
    if (__builtin_sub_overflow(left, right, &difference) || __builtin_add_overflow(difference, 1, &count)) {
        return std::nullopt;
    }
    return count;
}

bool inRange(const JamVariable& variable, int64_t start, int64_t count)
{
    return start >= 0 && count >= 0 && uint64_t(start) <= variable.size &&
           uint64_t(count) <= variable.size - uint64_t(start);
}

// The program counter and the operand stack: a flat array and its depth.
struct Registers
{
    int64_t* stack;
    uint64_t pc = 0;
    int64_t depth = 0;

    bool has(int64_t entries) const { return depth >= entries; }
    int64_t& top(int64_t below = 0) { return stack[depth - 1 - below]; }
    int64_t pop() { return stack[--depth]; }
    void push(int64_t value) { stack[depth++] = value; }
    JBI_RETURN_TYPE swapN(int64_t k)
    {
        if (!has(k + 1)) {
            return JBIC_STACK_OVERFLOW;
        }
        std::swap(top(0), top(k));
        return JBIC_SUCCESS;
    }
    JBI_RETURN_TYPE dupN(int64_t k)
    {
        if (!has(k + 1)) {
            return JBIC_STACK_OVERFLOW;
        }
        push(top(k));
        return JBIC_SUCCESS;
    }
};

// Two operands off the stack and the result onto it; a is the deeper operand.
template <typename Operation>
JBI_RETURN_TYPE combine(Registers& registers, Operation operation)
{
    if (!registers.has(2)) {
        return JBIC_STACK_OVERFLOW;
    }
    const int64_t b = registers.pop();
    registers.top() = operation(registers.top(), b);
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE divide(Registers& registers, bool quotient)
{
    if (!registers.has(2)) {
        return JBIC_STACK_OVERFLOW;
    }
    const int64_t b = registers.pop();
    const int64_t a = registers.pop();
    if (b == 0) {
        return JBIC_DIVIDE_BY_ZERO;
    }
    if (b == -1) {
        // The one quotient that does not fit wraps; the remainder is 0.
        registers.push(quotient ? wrap(0 - uint64_t(a)) : 0);
    } else {
        registers.push(quotient ? a / b : a % b);
    }
    return JBIC_SUCCESS;
}

// Asking is a call into the program; it is needed only where something may have changed.
bool cancelled(int& until_check, uint64_t& seen_activity)
{
    if (--until_check > 0 && gJamJtagActivity == seen_activity) {
        return false;
    }
    until_check = kCancelCheckInterval;
    seen_activity = gJamJtagActivity;
    return jbi_cancelled();
}

class Interpreter
{
public:
    Interpreter(const JamImage& image, const JamHeader& header, JamVariables& variables,
                const JamProcedures& procedures)
        : fImage(image), fHeader(header), fVariables(variables), fProcedures(procedures),
          fVariableData(variables.data()), fVariableCount(variables.count()),
          fCodeLength(header.debugSection > header.codeSection ? header.debugSection - header.codeSection : 0)
    {}

    JBI_RETURN_TYPE start(const char* action);
    JBI_RETURN_TYPE run(int* exit_code);
    long errorAddress() const { return fErrorAddress; }

private:
    bool format2() const { return fHeader.format == 2; }
    JBI_RETURN_TYPE jumpTo(Registers& registers, int64_t code_offset);
    JBI_RETURN_TYPE startProcedure(std::optional<uint32_t> procedure);
    // The common instructions run here on the loop's registers; the rarer ones, through executeRare(),
    // on fRegisters, so that the loop's copy never needs an address.
    [[gnu::always_inline]] inline JBI_RETURN_TYPE step(const uint8_t* instruction, Registers& registers);
    [[gnu::noinline]] JBI_RETURN_TYPE executeRare(const uint8_t* instruction);
    JBI_RETURN_TYPE execute(uint8_t opcode, const uint32_t* operand);

    bool has(int64_t entries) const { return fRegisters.has(entries); }
    int64_t& top(int64_t below = 0) { return fRegisters.top(below); }
    int64_t pop() { return fRegisters.pop(); }
    void push(int64_t value) { fRegisters.push(value); }

    void append(std::string_view text);
    JBI_RETURN_TYPE text(uint32_t string_offset, std::string_view& text) const;
    JBI_RETURN_TYPE variable(uint32_t id, JamVariable*& variable);
    JBI_RETURN_TYPE booleanArray(uint64_t id, JamVariable*& variable);

    JBI_RETURN_TYPE shortScan(bool ir, bool capture);
    JBI_RETURN_TYPE literalPadding(JBI_RETURN_TYPE (*set)(int64_t, int64_t, const uint8_t*));
    JBI_RETURN_TYPE arrayPadding(uint32_t id, JBI_RETURN_TYPE (*set)(int64_t, int64_t, const uint8_t*));
    JBI_RETURN_TYPE arrayScan(uint32_t id, bool ir);
    JBI_RETURN_TYPE captureScan(uint32_t scan_id, uint32_t capture_id, bool ir);
    JBI_RETURN_TYPE pushArrayBits(uint32_t id);
    JBI_RETURN_TYPE popArrayBits(uint32_t id);
    JBI_RETURN_TYPE copyBits(uint32_t source_id, uint32_t destination_id);
    JBI_RETURN_TYPE compareArrays(uint32_t first_id, uint32_t second_id, uint32_t mask_id);
    JBI_RETURN_TYPE wait(uint32_t wait_state, uint32_t end_state);
    JBI_RETURN_TYPE exportBits(uint32_t string_offset);
    JBI_RETURN_TYPE next(Registers& registers, uint32_t id);
    JBI_RETURN_TYPE pushElement(Registers& registers, uint32_t id);
    JBI_RETURN_TYPE popElement(Registers& registers, uint32_t id);
    // The rarer instructions, kept out of the dispatch so that it stays small and quick.
    [[gnu::noinline]] JBI_RETURN_TYPE returnFrom();
    [[gnu::noinline]] JBI_RETURN_TYPE compareScalars();
    [[gnu::noinline]] JBI_RETURN_TYPE printInteger();
    [[gnu::noinline]] JBI_RETURN_TYPE printCharacter();
    [[gnu::noinline]] JBI_RETURN_TYPE printString(uint32_t string_offset);
    [[gnu::noinline]] JBI_RETURN_TYPE print();
    [[gnu::noinline]] JBI_RETURN_TYPE exportInteger(uint32_t string_offset);
    [[gnu::noinline]] JBI_RETURN_TYPE onesPadding(uint8_t opcode);
    [[gnu::noinline]] JBI_RETURN_TYPE batch0();
    [[gnu::noinline]] JBI_RETURN_TYPE growArray(uint32_t id);

    const JamImage& fImage;
    const JamHeader& fHeader;
    JamVariables& fVariables;
    const JamProcedures& fProcedures;
    // The table of variables keeps its size once set up.
    JamVariable* const fVariableData;
    const uint64_t fVariableCount;
    const uint64_t fCodeLength;

    int64_t fStack[kStackLimit + kStackHeadroom] = {};
    Registers fRegisters{fStack};
    std::optional<uint32_t> fProcedure;
    bool fDone = false;
    int fExitCode = 0;
    bool fExitCodeSet = false;
    long fErrorAddress = 0;
    bool fErrorAddressSet = false;
    char fMessage[kMessageLimit + 1] = {};
    size_t fMessageLength = 0;
};

JBI_RETURN_TYPE Interpreter::jumpTo(Registers& registers, int64_t code_offset)
{
    if (code_offset < 0 || uint64_t(code_offset) >= fCodeLength) {
        // A bad address stops the run at once, reported where it pointed.
        fErrorAddress = long(code_offset);
        fErrorAddressSet = true;
        return JBIC_BOUNDS_ERROR;
    }
    registers.pc = uint64_t(fHeader.codeSection) + uint64_t(code_offset);
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE Interpreter::startProcedure(std::optional<uint32_t> procedure)
{
    fProcedure = procedure;
    if (!procedure) {
        fDone = true;
        return JBIC_SUCCESS;
    }
    uint32_t offset = 0;
    const JBI_RETURN_TYPE status = fProcedures.codeOffset(*procedure, offset);
    return status != JBIC_SUCCESS ? status : jumpTo(fRegisters, offset);
}

JBI_RETURN_TYPE Interpreter::start(const char* action)
{
    if (!format2()) {
        fRegisters.pc = fHeader.codeSection;
        return JBIC_SUCCESS;
    }
    uint32_t first = 0;
    std::optional<uint32_t> procedure;
    JBI_RETURN_TYPE status = fProcedures.findAction(action, first);
    if (status == JBIC_SUCCESS) {
        status = fProcedures.firstRunnable(first, procedure);
    }
    return status != JBIC_SUCCESS ? status : startProcedure(procedure);
}

JBI_RETURN_TYPE Interpreter::run(int* exit_code)
{
    // The layout check has put the code range inside the file.
    const uint8_t* const data = fImage.data();
    const uint64_t codeStart = fHeader.codeSection;
    const uint64_t codeEnd = fHeader.debugSection;
    // Before this offset any instruction lies whole inside the code, so one comparison checks it.
    const uint64_t roomyEnd = codeEnd > kLongestInstruction ? codeEnd - kLongestInstruction : 0;
    // The loop's own copy, which the compiler can keep in registers between instructions.
    Registers registers{fStack, fRegisters.pc, fRegisters.depth};
    int untilCheck = 0;
    uint64_t seenActivity = ~uint64_t(0);
    JBI_RETURN_TYPE status = JBIC_SUCCESS;
    while (!fDone && status == JBIC_SUCCESS) {
        const uint64_t opcodeAt = registers.pc;
        if (cancelled(untilCheck, seenActivity)) {
            status = JBIC_USER_ABORT;
        } else if (opcodeAt >= roomyEnd &&
                   (opcodeAt >= codeEnd || 1 + 4 * uint64_t(data[opcodeAt] >> 6) > codeEnd - opcodeAt)) {
            status = JBIC_BOUNDS_ERROR;
        } else {
            const uint8_t opcode = data[opcodeAt];
            registers.pc = opcodeAt + 1 + 4 * uint64_t(opcode >> 6);
            status = step(data + opcodeAt, registers);
            if (status == JBIC_SUCCESS && registers.depth >= kStackLimit) {
                status = JBIC_STACK_OVERFLOW;
            }
        }
        if (status != JBIC_SUCCESS && !fErrorAddressSet) {
            fErrorAddress = long(opcodeAt - codeStart);
        }
    }
    fRegisters = registers;
    if (status == JBIC_SUCCESS && fExitCodeSet) {
        *exit_code = fExitCode;
    }
    return status;
}

void Interpreter::append(std::string_view text)
{
    const size_t room = kMessageLimit - fMessageLength;
    const size_t length = std::min(room, text.size());
    std::memcpy(fMessage + fMessageLength, text.data(), length);
    fMessageLength += length;
    fMessage[fMessageLength] = 0;
}

JBI_RETURN_TYPE Interpreter::text(uint32_t string_offset, std::string_view& text) const
{
    const auto found = fImage.text(uint64_t(fHeader.stringTable) + string_offset);
    if (!found) {
        return JBIC_BOUNDS_ERROR;
    }
    text = *found;
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE Interpreter::variable(uint32_t id, JamVariable*& variable)
{
    if (id >= fVariableCount) {
        return JBIC_BOUNDS_ERROR;
    }
    variable = fVariableData + id;
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE Interpreter::booleanArray(uint64_t id, JamVariable*& variable)
{
    if (id >= fVariableCount || !fVariableData[id].isBooleanArray()) {
        return JBIC_BOUNDS_ERROR;
    }
    variable = fVariableData + id;
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE Interpreter::shortScan(bool ir, bool capture)
{
    if (!has(2)) {
        return JBIC_STACK_OVERFLOW;
    }
    const int64_t data = pop();
    const int64_t count = capture ? top() : pop();
    if (count < 0 || count > 32) {
        return JBIC_BOUNDS_ERROR;
    }
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) {
        bytes[i] = uint8_t(uint64_t(data) >> (8 * i));
    }
    if (!capture) {
        return ir ? jbi_do_irscan(count, bytes, 0) : jbi_do_drscan(count, bytes, 0);
    }
    const JBI_RETURN_TYPE status =
        ir ? jbi_swap_ir(count, bytes, 0, bytes, 0) : jbi_swap_dr(count, bytes, 0, bytes, 0);
    top() = int32_t(uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                    uint32_t(bytes[3]) << 24);
    return status;
}

JBI_RETURN_TYPE Interpreter::literalPadding(JBI_RETURN_TYPE (*set)(int64_t, int64_t, const uint8_t*))
{
    if (!has(2)) {
        return JBIC_STACK_OVERFLOW;
    }
    const int64_t count = pop();
    const int64_t data = pop();
    if (count > 32) {
        return JBIC_BOUNDS_ERROR;
    }
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) {
        bytes[i] = uint8_t(uint64_t(data) >> (8 * i));
    }
    return set(count, 0, bytes);
}

JBI_RETURN_TYPE Interpreter::arrayPadding(uint32_t id,
                                          JBI_RETURN_TYPE (*set)(int64_t, int64_t, const uint8_t*))
{
    if (!has(2)) {
        return JBIC_STACK_OVERFLOW;
    }
    const int64_t first = pop();
    const int64_t second = pop();
    int64_t start = first;
    int64_t count = second;
    if (format2()) {
        const auto counted = span(first, second);
        if (!counted) {
            return JBIC_BOUNDS_ERROR;
        }
        count = *counted;
    }
    JamVariable* array = nullptr;
    JBI_RETURN_TYPE status = booleanArray(id, array);
    if (status == JBIC_SUCCESS && !inRange(*array, start, count)) {
        status = JBIC_BOUNDS_ERROR;
    }
    return status != JBIC_SUCCESS ? status : set(count, start, array->bits());
}

JBI_RETURN_TYPE Interpreter::arrayScan(uint32_t id, bool ir)
{
    if (!has(format2() ? 3 : 2)) {
        return JBIC_STACK_OVERFLOW;
    }
    JamVariable* array = nullptr;
    int64_t start = pop();
    bool reversed = false;
    if (format2()) {
        const int64_t left = pop();
        reversed = start > left;
        start = reversed ? left : start;
    }
    const int64_t count = pop();
    JBI_RETURN_TYPE status = booleanArray(id, array);
    if (status == JBIC_SUCCESS && !inRange(*array, start, count)) {
        status = JBIC_BOUNDS_ERROR;
    }
    if (status != JBIC_SUCCESS) {
        return status;
    }
    if (!reversed) {
        return ir ? jbi_do_irscan(count, array->bits(), start) : jbi_do_drscan(count, array->bits(), start);
    }
    // Reversed: the highest index is shifted first.
    JamBitBuffer bits{uint64_t(count)};
    if (!bits) {
        return JBIC_OUT_OF_MEMORY;
    }
    for (int64_t k = 0; k < count; ++k) {
        bits.set(uint64_t(k), array->bit(uint64_t(start + count - 1 - k)));
    }
    return ir ? jbi_do_irscan(count, bits.data(), 0) : jbi_do_drscan(count, bits.data(), 0);
}

JBI_RETURN_TYPE Interpreter::captureScan(uint32_t scan_id, uint32_t capture_id, bool ir)
{
    if (!has(format2() ? 5 : 3)) {
        return JBIC_STACK_OVERFLOW;
    }
    int64_t captureStart = pop();
    int64_t scanStart = 0;
    int64_t count = 0;
    JBI_RETURN_TYPE status = JBIC_SUCCESS;
    if (format2()) {
        const int64_t captureLeft = pop();
        scanStart = pop();
        const int64_t scanLeft = pop();
        count = pop();
        const auto captureCount = span(captureStart, captureLeft);
        const auto scanCount = span(scanStart, scanLeft);
        if (!captureCount || !scanCount || count > *captureCount || count > *scanCount) {
            status = JBIC_BOUNDS_ERROR;
        }
    } else {
        scanStart = pop();
        count = pop();
    }
    JamVariable* scan = nullptr;
    JamVariable* capture = nullptr;
    if (status == JBIC_SUCCESS) {
        status = booleanArray(scan_id, scan);
    }
    if (status == JBIC_SUCCESS) {
        status = booleanArray(capture_id, capture);
    }
    if (status == JBIC_SUCCESS) {
        status = fVariables.prepareWrite(*capture, false);
    }
    if (status == JBIC_SUCCESS &&
        (!inRange(*scan, scanStart, count) || !inRange(*capture, captureStart, count))) {
        status = JBIC_BOUNDS_ERROR;
    }
    if (status != JBIC_SUCCESS) {
        return status;
    }
    return ir ? jbi_swap_ir(count, scan->bits(), scanStart, capture->owned, captureStart)
              : jbi_swap_dr(count, scan->bits(), scanStart, capture->owned, captureStart);
}

JBI_RETURN_TYPE Interpreter::pushArrayBits(uint32_t id)
{
    if (!has(2)) {
        return JBIC_STACK_OVERFLOW;
    }
    const int64_t x = pop();
    const int64_t y = top();
    int64_t start = y;
    int64_t count = x;
    if (format2()) {
        const auto counted = span(y, x);
        if (!counted) {
            return JBIC_BOUNDS_ERROR;
        }
        count = *counted;
    }
    JamVariable* array = nullptr;
    JBI_RETURN_TYPE status = booleanArray(id, array);
    if (status == JBIC_SUCCESS && (count < 1 || count > 32 || !inRange(*array, start, count))) {
        status = JBIC_BOUNDS_ERROR;
    }
    if (status != JBIC_SUCCESS) {
        return status;
    }
    uint32_t value = 0;
    for (int64_t k = 0; k < count; ++k) {
        value |= uint32_t(array->bit(uint64_t(start + k))) << k;
    }
    top() = int32_t(value);
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE Interpreter::popArrayBits(uint32_t id)
{
    if (!has(3)) {
        return JBIC_STACK_OVERFLOW;
    }
    const int64_t x = pop();
    const int64_t y = pop();
    const int64_t value = pop();
    int64_t start = y;
    int64_t count = x;
    if (format2()) {
        const auto counted = span(y, x);
        if (y > x || !counted) {
            return JBIC_BOUNDS_ERROR;
        }
        count = *counted;
    }
    JamVariable* array = nullptr;
    JBI_RETURN_TYPE status = booleanArray(id, array);
    if (status == JBIC_SUCCESS) {
        status = fVariables.prepareWrite(*array, false);
    }
    if (status == JBIC_SUCCESS && (count < 1 || count > 32 || !inRange(*array, start, count))) {
        status = JBIC_BOUNDS_ERROR;
    }
    if (status != JBIC_SUCCESS) {
        return status;
    }
    for (int64_t k = 0; k < count; ++k) {
        JamBitBuffer::set(array->owned, uint64_t(start + k), (uint64_t(value) >> k) & 1);
    }
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE Interpreter::copyBits(uint32_t source_id, uint32_t destination_id)
{
    if (!has(format2() ? 4 : 3)) {
        return JBIC_STACK_OVERFLOW;
    }
    int64_t sourceStart = 0;
    int64_t destinationStart = 0;
    int64_t count = 0;
    bool fillDownward = false;
    if (format2()) {
        const int64_t a = pop();
        const int64_t b = pop();
        const int64_t c = pop();
        const int64_t e = pop();
        const bool sourceReversed = a > b;
        const bool destinationReversed = c > e;
        const auto sourceCount = sourceReversed ? span(b, a) : span(a, b);
        const auto destinationCount = destinationReversed ? span(e, c) : span(c, e);
        if (!sourceCount || !destinationCount ||
            ((sourceReversed || destinationReversed) && *sourceCount != *destinationCount)) {
            return JBIC_BOUNDS_ERROR;
        }
        sourceStart = std::min(a, b);
        destinationStart = std::min(c, e);
        count = std::min(*sourceCount, *destinationCount);
        fillDownward = sourceReversed != destinationReversed;
    } else {
        count = pop();
        sourceStart = pop();
        destinationStart = pop();
    }
    JamVariable* source = nullptr;
    JamVariable* destination = nullptr;
    JBI_RETURN_TYPE status = booleanArray(source_id, source);
    if (status == JBIC_SUCCESS) {
        status = booleanArray(destination_id, destination);
    }
    if (status == JBIC_SUCCESS) {
        status = fVariables.prepareWrite(*destination, false);
    }
    if (status == JBIC_SUCCESS &&
        (!inRange(*source, sourceStart, count) || !inRange(*destination, destinationStart, count))) {
        status = JBIC_BOUNDS_ERROR;
    }
    if (status != JBIC_SUCCESS) {
        return status;
    }
    // Through a copy, so a range that overlaps itself reads the bits as they were.
    JamBitBuffer bits{uint64_t(count)};
    if (!bits) {
        return JBIC_OUT_OF_MEMORY;
    }
    for (int64_t k = 0; k < count; ++k) {
        bits.set(uint64_t(k), source->bit(uint64_t(sourceStart + k)));
    }
    for (int64_t k = 0; k < count; ++k) {
        const int64_t index = fillDownward ? destinationStart + count - 1 - k : destinationStart + k;
        JamBitBuffer::set(destination->owned, uint64_t(index), bits.get(uint64_t(k)));
    }
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE Interpreter::compareArrays(uint32_t first_id, uint32_t second_id, uint32_t mask_id)
{
    if (!has(format2() ? 6 : 4)) {
        return JBIC_STACK_OVERFLOW;
    }
    int64_t start[3] = {};
    int64_t count = 0;
    if (format2()) {
        count = std::numeric_limits<int64_t>::max();
        for (int64_t& first : start) {
            first = pop();
            const auto counted = span(first, pop());
            if (!counted) {
                return JBIC_BOUNDS_ERROR;
            }
            count = std::min(count, *counted);
        }
    } else {
        for (int64_t& first : start) {
            first = pop();
        }
        count = pop();
    }
    JamVariable* arrays[3] = {};
    const uint32_t ids[3] = {first_id, second_id, mask_id};
    for (int i = 0; i < 3; ++i) {
        const JBI_RETURN_TYPE status = booleanArray(ids[i], arrays[i]);
        if (status != JBIC_SUCCESS) {
            return status;
        }
        if (count < 1 || !inRange(*arrays[i], start[i], count)) {
            return JBIC_BOUNDS_ERROR;
        }
    }
    bool equal = true;
    for (int64_t k = 0; k < count && equal; ++k) {
        const auto at = [&](int i) { return arrays[i]->bit(uint64_t(start[i] + k)); };
        equal = !at(2) || at(0) == at(1);
    }
    push(equal);
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE Interpreter::wait(uint32_t wait_state, uint32_t end_state)
{
    if (!has(format2() ? 4 : 2)) {
        return JBIC_STACK_OVERFLOW;
    }
    const int64_t cycles = pop();
    const int64_t microseconds = pop();
    if (format2()) {
        // The maxima are not used.
        pop();
        pop();
    }
    JBI_RETURN_TYPE status = jbi_do_wait_cycles(cycles, wait_state);
    if (status == JBIC_SUCCESS) {
        status = jbi_do_wait_microseconds(microseconds, wait_state);
    }
    if (status == JBIC_SUCCESS && end_state != wait_state) {
        status = jbi_goto_jtag_state(end_state);
    }
    return status;
}

JBI_RETURN_TYPE Interpreter::exportBits(uint32_t string_offset)
{
    if (!has(3)) {
        return JBIC_STACK_OVERFLOW;
    }
    if (!format2()) {
        return JBIC_ILLEGAL_OPCODE;
    }
    const int64_t id = pop();
    const int64_t right = pop();
    const int64_t left = pop();
    std::string_view key;
    JamVariable* array = nullptr;
    const auto count = span(right, left);
    JBI_RETURN_TYPE status = right > left || !count || id < 0 ? JBIC_BOUNDS_ERROR : text(string_offset, key);
    if (status == JBIC_SUCCESS) {
        status = booleanArray(uint64_t(id), array);
    }
    if (status == JBIC_SUCCESS && !inRange(*array, right, *count)) {
        status = JBIC_BOUNDS_ERROR;
    }
    if (status != JBIC_SUCCESS) {
        return status;
    }
    JamBitBuffer bits{uint64_t(*count)};
    if (!bits) {
        return JBIC_OUT_OF_MEMORY;
    }
    for (int64_t k = 0; k < *count; ++k) {
        bits.set(uint64_t(k), array->bit(uint64_t(right + k)));
    }
    jbi_export_boolean_array(std::string(key).c_str(), bits.data(), *count);
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE Interpreter::next(Registers& registers, uint32_t id)
{
    if (!registers.has(3)) {
        return JBIC_STACK_OVERFLOW;
    }
    JamVariable* counter = nullptr;
    const JBI_RETURN_TYPE status = variable(id, counter);
    if (status != JBIC_SUCCESS) {
        return status;
    }
    const int64_t step = registers.top(0);
    const int64_t end = registers.top(1);
    const int64_t loopTop = registers.top(2);
    if ((step < 0 && counter->value <= end) || (step >= 0 && counter->value >= end)) {
        registers.depth -= 3;
        return JBIC_SUCCESS;
    }
    counter->value = wrap(uint64_t(counter->value) + uint64_t(step));
    return jumpTo(registers, loopTop);
}

JBI_RETURN_TYPE Interpreter::pushElement(Registers& registers, uint32_t id)
{
    if (!registers.has(1)) {
        return JBIC_STACK_OVERFLOW;
    }
    JamVariable* array = nullptr;
    JBI_RETURN_TYPE status = variable(id, array);
    const uint8_t pattern = array ? array->attributes & 0x1F : 0;
    if (status == JBIC_SUCCESS &&
        ((pattern != 0x19 && pattern != 0x1C) || !inRange(*array, registers.top(), 1))) {
        status = JBIC_BOUNDS_ERROR;
    }
    if (status == JBIC_SUCCESS) {
        registers.top() = array->element(uint64_t(registers.top()));
    }
    return status;
}

JBI_RETURN_TYPE Interpreter::popElement(Registers& registers, uint32_t id)
{
    if (!registers.has(2)) {
        return JBIC_STACK_OVERFLOW;
    }
    const int64_t index = registers.pop();
    const int64_t value = registers.pop();
    JamVariable* array = nullptr;
    JBI_RETURN_TYPE status = variable(id, array);
    if (status == JBIC_SUCCESS) {
        status = fVariables.prepareWrite(*array, true);
    }
    if (status == JBIC_SUCCESS && !inRange(*array, index, 1)) {
        status = JBIC_BOUNDS_ERROR;
    }
    if (status == JBIC_SUCCESS) {
        std::memcpy(array->owned + uint64_t(index) * sizeof(int64_t), &value, sizeof value);
    }
    return status;
}

JBI_RETURN_TYPE Interpreter::returnFrom()
{
    if (format2() && fRegisters.depth == 0) {
        std::optional<uint32_t> following;
        const JBI_RETURN_TYPE status = fProcedures.nextRunnable(*fProcedure, following);
        if (status == JBIC_SUCCESS && !following) {
            fExitCode = 0;
            fExitCodeSet = true;
        }
        return status != JBIC_SUCCESS ? status : startProcedure(following);
    }
    if (!has(1)) {
        return JBIC_STACK_OVERFLOW;
    }
    if (top() == 0) {
        // Returning to offset 0 is as bad as returning outside the code.
        pop();
        fErrorAddress = 0;
        fErrorAddressSet = true;
        return JBIC_BOUNDS_ERROR;
    }
    return jumpTo(fRegisters, pop());
}

JBI_RETURN_TYPE Interpreter::compareScalars()
{
    if (!has(4)) {
        return JBIC_STACK_OVERFLOW;
    }
    const int64_t x = pop();
    const int64_t y = pop();
    const int64_t mask = pop();
    if (top() < 1 || top() > 32) {
        return JBIC_BOUNDS_ERROR;
    }
    top() = (x & mask) == (y & mask);
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE Interpreter::printInteger()
{
    if (!has(1)) {
        return JBIC_STACK_OVERFLOW;
    }
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, pop()).ptr;
    append(std::string_view(digits, size_t(end - digits)));
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE Interpreter::printCharacter()
{
    if (!has(1)) {
        return JBIC_STACK_OVERFLOW;
    }
    char character = char(pop() & 0xFF);
    if (character == 0 || (unsigned char)character >= 0x80) {
        character = 0x7F;
    }
    append(std::string_view(&character, 1));
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE Interpreter::printString(uint32_t string_offset)
{
    std::string_view string;
    const JBI_RETURN_TYPE status = text(string_offset, string);
    if (status == JBIC_SUCCESS) {
        append(string);
    }
    return status;
}

JBI_RETURN_TYPE Interpreter::print()
{
    jbi_message(fMessage);
    fMessageLength = 0;
    fMessage[0] = 0;
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE Interpreter::exportInteger(uint32_t string_offset)
{
    if (!has(1)) {
        return JBIC_STACK_OVERFLOW;
    }
    std::string_view key;
    const JBI_RETURN_TYPE status = text(string_offset, key);
    if (status == JBIC_SUCCESS) {
        jbi_export_integer(std::string(key).c_str(), pop());
    }
    return status;
}

JBI_RETURN_TYPE Interpreter::onesPadding(uint8_t opcode)
{
    if (!has(1)) {
        return JBIC_STACK_OVERFLOW;
    }
    const int64_t count = pop();
    return opcode == 0x1C   ? jbi_set_dr_preamble(count, 0, nullptr)
           : opcode == 0x1E ? jbi_set_dr_postamble(count, 0, nullptr)
           : opcode == 0x20 ? jbi_set_ir_preamble(count, 0, nullptr)
                            : jbi_set_ir_postamble(count, 0, nullptr);
}

JBI_RETURN_TYPE Interpreter::batch0()
{
    for (const auto& [swap, k] : kBatch0) {
        const JBI_RETURN_TYPE status = swap ? fRegisters.swapN(k) : fRegisters.dupN(k);
        if (status != JBIC_SUCCESS) {
            return status;
        }
    }
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE Interpreter::growArray(uint32_t id)
{
    if (!has(1)) {
        return JBIC_STACK_OVERFLOW;
    }
    JamVariable* array = nullptr;
    JBI_RETURN_TYPE status = variable(id, array);
    if (status == JBIC_SUCCESS && !array->isArray()) {
        status = JBIC_BOUNDS_ERROR;
    }
    return status != JBIC_SUCCESS ? status : fVariables.grow(*array, pop());
}

JBI_RETURN_TYPE Interpreter::step(const uint8_t* instruction, Registers& registers)
{
    const uint8_t opcode = *instruction;
    // Only the instructions with operands read one.
    const auto operand = [&] { return be32(instruction + 1); };
    JamVariable* var = nullptr;
    JBI_RETURN_TYPE status = JBIC_SUCCESS;
    switch (opcode) {
    case 0x00: // NOP
        return JBIC_SUCCESS;
    case 0x01: // DUP
        return registers.dupN(0);
    case 0x02: // SWP
        return registers.swapN(1);
    case 0x03: // ADD
        return combine(registers, [](int64_t a, int64_t b) { return wrap(uint64_t(a) + uint64_t(b)); });
    case 0x04: // SUB
        return combine(registers, [](int64_t a, int64_t b) { return wrap(uint64_t(a) - uint64_t(b)); });
    case 0x05: // MULT
        return combine(registers, [](int64_t a, int64_t b) { return wrap(uint64_t(a) * uint64_t(b)); });
    case 0x06: // DIV
    case 0x07: // MOD
        return divide(registers, opcode == 0x06);
    case 0x08: // SHL
        return combine(registers, [](int64_t a, int64_t b) { return wrap(uint64_t(a) << (b & 63)); });
    case 0x09: // SHR
        return combine(registers, [](int64_t a, int64_t b) { return a >> (b & 63); });
    case 0x0B: // AND
        return combine(registers, [](int64_t a, int64_t b) { return a & b; });
    case 0x0C: // OR
        return combine(registers, [](int64_t a, int64_t b) { return a | b; });
    case 0x0D: // XOR
        return combine(registers, [](int64_t a, int64_t b) { return a ^ b; });
    case 0x0F: // GT
        return combine(registers, [](int64_t a, int64_t b) { return int64_t(a > b); });
    case 0x10: // LT
        return combine(registers, [](int64_t a, int64_t b) { return int64_t(a < b); });
    case 0x26: // EQU
        return combine(registers, [](int64_t a, int64_t b) { return int64_t(a == b); });
    case 0x0A: // NOT
    case 0x0E: // INV
    case 0x2C: // ABS
        if (!registers.has(1)) {
            return JBIC_STACK_OVERFLOW;
        }
        registers.top() = opcode == 0x0A        ? ~registers.top()
                          : opcode == 0x0E      ? int64_t(registers.top() == 0)
                          : registers.top() < 0 ? wrap(0 - uint64_t(registers.top()))
                                                : registers.top();
        return JBIC_SUCCESS;
    case 0x27: // POPT
        if (!registers.has(1)) {
            return JBIC_STACK_OVERFLOW;
        }
        registers.pop();
        return JBIC_SUCCESS;
    case 0x2F: // PSH0
        registers.push(0);
        return JBIC_SUCCESS;
    case 0x40: // PSHL
        registers.push(int32_t(operand()));
        return JBIC_SUCCESS;
    case 0x41: // PSHV
        status = variable(operand(), var);
        if (status == JBIC_SUCCESS) {
            registers.push(var->value);
        }
        return status;
    case 0x42: // JMP
        return jumpTo(registers, operand());
    case 0x43: // CALL: pushes the file offset, which RET takes as a code offset
        registers.push(int64_t(registers.pc));
        return jumpTo(registers, operand());
    case 0x44: // NEXT
        return next(registers, operand());
    case 0x4B: // SWPN
        return registers.swapN(int64_t(operand()));
    case 0x4C: // DUPN
        return registers.dupN(int64_t(operand()));
    case 0x4D: // POPV
        if (!registers.has(1)) {
            return JBIC_STACK_OVERFLOW;
        }
        status = variable(operand(), var);
        if (status == JBIC_SUCCESS) {
            var->value = registers.pop();
        }
        return status;
    case 0x4E: // POPE
        return popElement(registers, operand());
    case 0x50: // JMPZ
        if (!registers.has(1)) {
            return JBIC_STACK_OVERFLOW;
        }
        return registers.pop() == 0 ? jumpTo(registers, operand()) : JBIC_SUCCESS;
    case 0x58: // PSHE
        return pushElement(registers, operand());
    default:
        fRegisters = registers;
        status = executeRare(instruction);
        registers.pc = fRegisters.pc;
        registers.depth = fRegisters.depth;
        return status;
    }
}

JBI_RETURN_TYPE Interpreter::executeRare(const uint8_t* instruction)
{
    const uint8_t opcode = *instruction;
    uint32_t operand[3] = {};
    for (int i = 0; i < opcode >> 6; ++i) {
        operand[i] = be32(instruction + 1 + 4 * i);
    }
    return execute(opcode, operand);
}

JBI_RETURN_TYPE Interpreter::execute(uint8_t opcode, const uint32_t* operand)
{
    switch (opcode) {
    case 0x11: // RET
        return returnFrom();
    case 0x12: // CMPS
        return compareScalars();
    case 0x13: // PINT
        return printInteger();
    case 0x14: // PRNT
        return print();
    case 0x15:
        return shortScan(false, false); // DSS
    case 0x16:
        return shortScan(false, true); // DSSC
    case 0x17:
        return shortScan(true, false); // ISS
    case 0x18:
        return shortScan(true, true); // ISSC
    case 0x1C:
    case 0x1E:
    case 0x20:
    case 0x22: // DPR, DPO, IPR, IPO
        return onesPadding(opcode);
    case 0x1D:
        return literalPadding(jbi_set_dr_preamble); // DPRL
    case 0x1F:
        return literalPadding(jbi_set_dr_postamble); // DPOL
    case 0x21:
        return literalPadding(jbi_set_ir_preamble); // IPRL
    case 0x23:
        return literalPadding(jbi_set_ir_postamble); // IPOL
    case 0x24:                                       // PCHR
        return printCharacter();
    case 0x25: // EXIT
        if (!has(1)) {
            return JBIC_STACK_OVERFLOW;
        }
        fExitCode = int(pop());
        fExitCodeSet = true;
        fDone = true;
        return JBIC_SUCCESS;
    case 0x2D: // BCH0
        return batch0();
    case 0x45: // PSTR
        return printString(operand[0]);
    case 0x47: // SINT
    case 0x48: // ST
        return jbi_goto_jtag_state(operand[0]);
    case 0x49:
        return jbi_set_irstop_state(operand[0]); // ISTP
    case 0x4A:
        return jbi_set_drstop_state(operand[0]); // DSTP
    case 0x4F:
        return popArrayBits(operand[0]); // POPA
    case 0x51:
        return arrayScan(operand[0], false); // DS
    case 0x52:
        return arrayScan(operand[0], true); // IS
    case 0x53:
        return arrayPadding(operand[0], jbi_set_dr_preamble); // DPRA
    case 0x54:
        return arrayPadding(operand[0], jbi_set_dr_postamble); // DPOA
    case 0x55:
        return arrayPadding(operand[0], jbi_set_ir_preamble); // IPRA
    case 0x56:
        return arrayPadding(operand[0], jbi_set_ir_postamble); // IPOA
    case 0x57:                                                 // EXPT
        return exportInteger(operand[0]);
    case 0x59:
        return pushArrayBits(operand[0]); // PSHA
    case 0x5A:                            // DYNA
        return growArray(operand[0]);
    case 0x5C:
        return exportBits(operand[0]); // EXPV
    case 0x80:
        return copyBits(operand[0], operand[1]); // COPY
    case 0x82:
        return captureScan(operand[0], operand[1], false); // DSC
    case 0x83:
        return captureScan(operand[0], operand[1], true); // ISC
    case 0x84:
        return wait(operand[0], operand[1]); // WAIT
    case 0xC0:
        return compareArrays(operand[0], operand[1], operand[2]); // CMPA
    default:
        return JBIC_ILLEGAL_OPCODE;
    }
}

} // namespace

JBI_RETURN_TYPE jbi_execute(const uint8_t* program, int64_t program_size, char*, int64_t, const char* action,
                            const char* const* init_list, bool reset_jtag, long* error_address,
                            int* exit_code, int* format_version)
{
    const auto header = jbi_read_header(program, program_size);
    if (!header) {
        return JBIC_IO_ERROR;
    }
    const JamImage image(program, uint64_t(program_size));
    *format_version = header->format;

    JamVariables variables;
    JBI_RETURN_TYPE status = jbi_check_layout(image, *header);
    if (status == JBIC_SUCCESS) {
        status = variables.setUp(image, *header, init_list);
    }
    jbi_init_jtag();
    const JamProcedures procedures(image, *header, init_list);
    Interpreter interpreter(image, *header, variables, procedures);
    if (status == JBIC_SUCCESS) {
        status = interpreter.start(action);
        if (status == JBIC_SUCCESS) {
            status = interpreter.run(exit_code);
        }
        if (status != JBIC_SUCCESS) {
            *error_address = interpreter.errorAddress();
        }
    }
    jbi_free_jtag_padding_buffers();
    if (reset_jtag) {
        jbi_reset_jtag_at_end();
    }
    return status;
}
