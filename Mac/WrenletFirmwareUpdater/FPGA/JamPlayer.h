// The Jam STAPL byte-code player: the entry points the updater calls.
#pragma once

#include <cstdint>

enum JBI_RETURN_TYPE : int
{
    JBIC_SUCCESS = 0,
    JBIC_OUT_OF_MEMORY = 1,
    JBIC_IO_ERROR = 2,
    JBIC_SYNTAX_ERROR = 3,
    JBIC_UNEXPECTED_END = 4,
    JBIC_UNDEFINED_SYMBOL = 5,
    JBIC_REDEFINED_SYMBOL = 6,
    JBIC_INTEGER_OVERFLOW = 7,
    JBIC_DIVIDE_BY_ZERO = 8,
    JBIC_CRC_ERROR = 9,
    JBIC_INTERNAL_ERROR = 10,
    JBIC_BOUNDS_ERROR = 11,
    JBIC_TYPE_MISMATCH = 12,
    JBIC_ASSIGN_TO_CONST = 13,
    JBIC_NEXT_UNEXPECTED = 14,
    JBIC_POP_UNEXPECTED = 15,
    JBIC_RETURN_UNEXPECTED = 16,
    JBIC_ILLEGAL_SYMBOL = 17,
    JBIC_VECTOR_MAP_FAILED = 18,
    JBIC_USER_ABORT = 19,
    JBIC_STACK_OVERFLOW = 20,
    JBIC_ILLEGAL_OPCODE = 21,
    JBIC_PHASE_ERROR = 22,
    JBIC_SCOPE_ERROR = 23,
    JBIC_ACTION_NOT_FOUND = 24,
};

// Checks the CRC-16 stored in the file against the bytes before it. Both values are reported when
// the field was found.
JBI_RETURN_TYPE jbi_check_crc(const uint8_t* program, int64_t program_size, uint16_t* expected_crc,
                              uint16_t* actual_crc);

// Format version (1 or 2) and, for format 2, the action and procedure counts.
JBI_RETURN_TYPE jbi_get_file_info(const uint8_t* program, int64_t program_size, int* format_version,
                                  int* action_count, int* procedure_count);

// Runs the program. There is no fixed workspace: storage comes from jbi_malloc. The caller pre-sets
// error_address, exit_code and format_version to 0.
JBI_RETURN_TYPE jbi_execute(const uint8_t* program, int64_t program_size, char* workspace,
                            int64_t workspace_size, const char* action, const char* const* init_list,
                            bool reset_jtag, long* error_address, int* exit_code, int* format_version);
