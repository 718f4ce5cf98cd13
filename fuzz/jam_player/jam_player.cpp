// Byte-code files from outside. Each input is checked, described and run with the actions "program"
// and "run_file" on a recording primitive, within about 100,000 instructions (the player asks whether
// to go on every 256 instructions and after each that clocks: 400 answers) and 16 MiB of storage.
// The status stays within the player's codes and TMS reaches the primitive as 0 or 1.

#include "JamPlayer.h"
#include "JamStubs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t kCheckLimit = 400;
constexpr size_t kStorageLimit = 16 << 20;

uint64_t gChecks = 0;
size_t gStorage = 0;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "jam_player: %s\n", what);
    std::abort();
}

} // namespace

int jbi_jtag_io(int tms, int, int read_tdo)
{
    if (tms != 0 && tms != 1) {
        fail("TMS other than 0 or 1");
    }
    return read_tdo ? int(gChecks & 1) : 0;
}

void jbi_message(const char* message_text)
{
    if (std::strlen(message_text) > 1024) {
        fail("a message longer than 1024 characters");
    }
}

void jbi_delay(int64_t) {}

void jbi_export_integer(const char*, int64_t) {}

void jbi_export_boolean_array(const char*, const uint8_t*, int64_t) {}

// Each block carries its size in front, so the bound can be given back.
void* jbi_malloc(size_t size)
{
    if (size > kStorageLimit - gStorage) {
        return nullptr;
    }
    auto* block = static_cast<size_t*>(std::malloc(size + sizeof(size_t)));
    if (!block) {
        return nullptr;
    }
    *block = size;
    gStorage += size;
    return block + 1;
}

void jbi_free(void* ptr)
{
    if (ptr) {
        size_t* block = static_cast<size_t*>(ptr) - 1;
        gStorage -= *block;
        std::free(block);
    }
}

bool jbi_cancelled()
{
    return ++gChecks > kCheckLimit;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint16_t expected = 0;
    uint16_t actual = 0;
    jbi_check_crc(data, int64_t(size), &expected, &actual);
    int format = 0;
    int actions = 0;
    int procedures = 0;
    jbi_get_file_info(data, int64_t(size), &format, &actions, &procedures);
    for (const char* action : {"program", "run_file"}) {
        gChecks = 0;
        long errorAddress = 0;
        int exitCode = 0;
        format = 0;
        const int status = jbi_execute(data, int64_t(size), nullptr, 0, action, nullptr, true, &errorAddress,
                                       &exitCode, &format);
        if (status < 0 || status > 24) {
            fail("a status outside the player's codes");
        }
        if (gStorage != 0) {
            fail("player storage left allocated");
        }
    }
    return 0;
}
