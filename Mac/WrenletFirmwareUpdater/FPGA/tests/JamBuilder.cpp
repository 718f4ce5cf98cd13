#include "JamBuilder.h"

#include "JamFile.h"

#include <algorithm>

namespace {

void put32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(uint8_t(value >> shift));
    }
}

void set32(std::vector<uint8_t>& out, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        out[at + size_t(i)] = uint8_t(value >> (24 - 8 * i));
    }
}

} // namespace

uint32_t JamBuilder::string(const std::string& text)
{
    const auto offset = uint32_t(fStrings.size());
    fStrings.insert(fStrings.end(), text.begin(), text.end());
    fStrings.push_back(0);
    return offset;
}

uint32_t JamBuilder::data(const std::vector<uint8_t>& bytes)
{
    const auto offset = uint32_t(fData.size());
    fData.insert(fData.end(), bytes.begin(), bytes.end());
    return offset;
}

uint32_t JamBuilder::symbol(uint8_t attributes, const std::string& name, uint32_t value, uint32_t size)
{
    fSymbols.push_back({attributes, string(name), value, size});
    return uint32_t(fSymbols.size() - 1);
}

uint32_t JamBuilder::op(uint8_t opcode, std::initializer_list<uint32_t> operands)
{
    const uint32_t at = here();
    fCode.push_back(opcode);
    for (const uint32_t operand : operands) {
        put32(fCode, operand);
    }
    return at;
}

void JamBuilder::patch(uint32_t at, uint32_t operand)
{
    set32(fCode, at + 1, operand);
}

void JamBuilder::action(const std::string& name, uint32_t first_procedure)
{
    fActions.push_back({string(name), first_procedure});
}

uint32_t JamBuilder::procedure(const std::string& name, uint32_t next, uint8_t attributes,
                               uint32_t code_offset)
{
    fProcedures.push_back({string(name), next, attributes, code_offset});
    return uint32_t(fProcedures.size() - 1);
}

std::vector<uint8_t> JamBuilder::build() const
{
    JamBuilder self = *this;
    if (fFormat == 2 && self.fActions.empty()) {
        self.action("PROGRAM", self.procedure("DO_IT", 0, 0, 0));
    }
    const bool format2 = fFormat == 2;
    const uint32_t headerSize = format2 ? 68 : 52;
    const uint32_t actionTable = headerSize;
    const uint32_t procedureTable = actionTable + uint32_t(self.fActions.size()) * 12;
    const uint32_t stringTable = procedureTable + uint32_t(self.fProcedures.size()) * 13;
    const uint32_t noteArea = stringTable + uint32_t(self.fStrings.size());
    const uint32_t symbolTable = noteArea;
    const uint32_t dataSection = symbolTable + uint32_t(self.fSymbols.size()) * (format2 ? 13 : 11);
    const uint32_t codeSection = dataSection + uint32_t(self.fData.size());
    const uint32_t codeEnd = codeSection + uint32_t(self.fCode.size());

    std::vector<uint8_t> out;
    put32(out, format2 ? 0x4A414D01 : 0x4A414D00);
    if (format2) {
        put32(out, actionTable);
        put32(out, procedureTable);
    }
    for (const uint32_t word :
         {stringTable, noteArea, noteArea, symbolTable, dataSection, codeSection, codeEnd, codeEnd, 0u}) {
        put32(out, word);
    }
    if (format2) {
        put32(out, uint32_t(self.fActions.size()));
        put32(out, uint32_t(self.fProcedures.size()));
    }
    put32(out, 0);
    put32(out, 0);
    put32(out, uint32_t(self.fSymbols.size()));
    for (const Action& action : self.fActions) {
        put32(out, action.name);
        put32(out, 0xFFFFFFFF);
        put32(out, action.first);
    }
    for (const Procedure& procedure : self.fProcedures) {
        put32(out, procedure.name);
        put32(out, procedure.next);
        out.push_back(procedure.attributes);
        put32(out, procedure.code);
    }
    out.insert(out.end(), self.fStrings.begin(), self.fStrings.end());
    for (const Symbol& symbol : self.fSymbols) {
        out.push_back(symbol.attributes);
        if (format2) {
            put32(out, symbol.name);
        } else {
            out.push_back(uint8_t(symbol.name >> 8));
            out.push_back(uint8_t(symbol.name));
        }
        put32(out, symbol.value);
        put32(out, symbol.size);
    }
    out.insert(out.end(), self.fData.begin(), self.fData.end());
    out.insert(out.end(), self.fCode.begin(), self.fCode.end());
    const uint16_t crc = jbi_crc16(out.data(), out.size());
    out.push_back(uint8_t(crc >> 8));
    out.push_back(uint8_t(crc));
    return out;
}

namespace {

class BitWriter
{
public:
    void put(uint32_t value, int width)
    {
        for (int bit = 0; bit < width; ++bit, ++fPosition) {
            if (fPosition % 8 == 0) {
                fBytes.push_back(0);
            }
            fBytes.back() = uint8_t(fBytes.back() | (((value >> bit) & 1) << (fPosition % 8)));
        }
    }
    std::vector<uint8_t> bytes() const { return fBytes; }

private:
    std::vector<uint8_t> fBytes;
    uint64_t fPosition = 0;
};

int widthOf(uint32_t value)
{
    int width = 1;
    while (value >> width) {
        ++width;
    }
    return width;
}

} // namespace

std::vector<uint8_t> jamCompress(const std::vector<uint8_t>& data, int format)
{
    const uint32_t window = format == 2 ? 8191 : 8192;
    BitWriter out;
    out.put(uint32_t(data.size()), 32);
    size_t i = 0;
    while (i < data.size()) {
        // The longest match within the window, found by a short search; good enough for tests.
        size_t bestLength = 0;
        size_t bestOffset = 0;
        const size_t reach = std::min<size_t>(i, window);
        for (size_t offset = 1; offset <= reach && offset <= 64; ++offset) {
            size_t length = 0;
            while (length < 255 && i + length < data.size() &&
                   data[i + length] == data[i + length - offset]) {
                ++length;
            }
            if (length > bestLength) {
                bestLength = length;
                bestOffset = offset;
            }
        }
        if (bestLength >= 4) {
            out.put(1, 1);
            out.put(uint32_t(bestOffset), widthOf(uint32_t(reach)));
            out.put(uint32_t(bestLength), 8);
            i += bestLength;
            continue;
        }
        out.put(0, 1);
        for (int k = 0; k < 3 && i < data.size(); ++k) {
            out.put(data[i++], 8);
        }
    }
    return out.bytes();
}
