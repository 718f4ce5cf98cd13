// The texts the player's front end prints for status and exit codes.
#pragma once

// The text of a jbi_execute status, or null beyond the table.
const char* jbi_error_text(int status);
// The conventional meaning of an exit code in the file's format; "Unknown exit code" beyond the table.
const char* jbi_exit_text(int format_version, int exit_code);
// Whether the exit code marks the device as needing attention: only "Device verify failure" in format 2.
bool jbi_exit_code_flag(int format_version, int exit_code);
