// What the player needs from the program that embeds it.
#pragma once

#include <cstddef>
#include <cstdint>

// One TCK cycle. Any non-zero tdi is a 1. Returns TDO sampled before the edge when read_tdo is set.
int jbi_jtag_io(int tms, int tdi, int read_tdo);
void jbi_message(const char* message_text);
// Returns early only when the run is asked to stop.
void jbi_delay(int64_t microseconds);
void jbi_export_integer(const char* key, int64_t value);
void jbi_export_boolean_array(const char* key, const uint8_t* data, int64_t count);
void* jbi_malloc(size_t size);
void jbi_free(void* ptr);
// Asked before the first instruction, after every instruction that clocked or waited, and every 256
// instructions: a run whose device went away, or that is asked to stop, ends with "execution
// cancelled".
bool jbi_cancelled();
