// Assembles byte-code files for the player's tests: header, tables, data and code, CRC at the end.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace JamOp {
enum : uint8_t
{
    NOP = 0x00,
    DUP = 0x01,
    SWP = 0x02,
    ADD = 0x03,
    SUB = 0x04,
    MULT = 0x05,
    DIV = 0x06,
    MOD = 0x07,
    SHL = 0x08,
    SHR = 0x09,
    NOT = 0x0A,
    AND = 0x0B,
    OR = 0x0C,
    XOR = 0x0D,
    INV = 0x0E,
    GT = 0x0F,
    LT = 0x10,
    RET = 0x11,
    CMPS = 0x12,
    PINT = 0x13,
    PRNT = 0x14,
    DSS = 0x15,
    DSSC = 0x16,
    ISS = 0x17,
    ISSC = 0x18,
    DPR = 0x1C,
    DPRL = 0x1D,
    DPO = 0x1E,
    DPOL = 0x1F,
    IPR = 0x20,
    IPRL = 0x21,
    IPO = 0x22,
    IPOL = 0x23,
    PCHR = 0x24,
    EXIT = 0x25,
    EQU = 0x26,
    POPT = 0x27,
    ABS = 0x2C,
    BCH0 = 0x2D,
    PSH0 = 0x2F,
    PSHL = 0x40,
    PSHV = 0x41,
    JMP = 0x42,
    CALL = 0x43,
    NEXT = 0x44,
    PSTR = 0x45,
    SINT = 0x47,
    ST = 0x48,
    ISTP = 0x49,
    DSTP = 0x4A,
    SWPN = 0x4B,
    DUPN = 0x4C,
    POPV = 0x4D,
    POPE = 0x4E,
    POPA = 0x4F,
    JMPZ = 0x50,
    DS = 0x51,
    IS = 0x52,
    DPRA = 0x53,
    DPOA = 0x54,
    IPRA = 0x55,
    IPOA = 0x56,
    EXPT = 0x57,
    PSHE = 0x58,
    PSHA = 0x59,
    DYNA = 0x5A,
    EXPV = 0x5C,
    COPY = 0x80,
    DSC = 0x82,
    ISC = 0x83,
    WAIT = 0x84,
    CMPA = 0xC0,
};
} // namespace JamOp

class JamBuilder
{
public:
    explicit JamBuilder(int format = 2) : fFormat(format) {}

    uint32_t string(const std::string& text);
    uint32_t data(const std::vector<uint8_t>& bytes);
    // Returns the variable id.
    uint32_t symbol(uint8_t attributes, const std::string& name, uint32_t value, uint32_t size);
    // Returns the code offset of the instruction.
    uint32_t op(uint8_t opcode, std::initializer_list<uint32_t> operands = {});
    uint32_t here() const { return uint32_t(fCode.size()); }
    // Rewrites the first operand of the instruction at a code offset (forward jumps).
    void patch(uint32_t at, uint32_t operand);
    void raw(std::initializer_list<uint8_t> bytes) { fCode.insert(fCode.end(), bytes); }
    // Any opcode with that many zero operands.
    void code(uint8_t opcode, int operands)
    {
        fCode.push_back(opcode), fCode.resize(fCode.size() + 4 * size_t(operands));
    }

    // Format 2. Without any, build() adds action "PROGRAM" running one procedure from code offset 0.
    void action(const std::string& name, uint32_t first_procedure);
    uint32_t procedure(const std::string& name, uint32_t next, uint8_t attributes, uint32_t code_offset);

    std::vector<uint8_t> build() const;

private:
    struct Symbol
    {
        uint8_t attributes;
        uint32_t name, value, size;
    };
    struct Action
    {
        uint32_t name, first;
    };
    struct Procedure
    {
        uint32_t name, next;
        uint8_t attributes;
        uint32_t code;
    };

    int fFormat;
    std::vector<uint8_t> fStrings, fData, fCode;
    std::vector<Symbol> fSymbols;
    std::vector<Action> fActions;
    std::vector<Procedure> fProcedures;
};

// The section 5 encoder of Boolean array data, for the decoder's round trip.
std::vector<uint8_t> jamCompress(const std::vector<uint8_t>& data, int format);

// The example files of the format's description: read IDCODE and print it.
std::vector<uint8_t> jamIdcodeExample(int format);
