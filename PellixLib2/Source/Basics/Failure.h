#pragma once

// Failure functions: each turns a failed check into a thrown VorkError. Those of Mac OS status
// codes record the code in gLastError.

#include "VorkError.h"

#include <atomic>
#include <cstdint>

namespace Pellix {

// The code of the last failure raised through Failure or do_Failure, by whichever thread.
extern std::atomic<int32_t> gLastError;

// Throws VorkError(code); the second argument is not used.
[[noreturn]] void Failure(int code, int = 0);
// -108 when the pointer is null.
void FailNIL(const void* p);
// -192 when the pointer is null.
void FailNILRes(const void* p);
// The status when it is non-zero.
void FailOSErr(int status);
// -108.
[[noreturn]] void FailMemFullError();
// Kind "OS" with the message "%s %i" of file and line.
[[noreturn]] void do_Failure(int code, const char* file, int line);
void do_FailNILRes(const void* p, const char* file, int line);

// Kind "Windows" when the value is non-zero; gLastError is left alone.
void FailWinError(int value);
void do_FailWinError(unsigned value, const char* file, int line);
void FailWinAPIError(int value);
void do_FailWinAPIError(unsigned value, const char* file, int line);
// Kind "COM" when the value is negative; gLastError is left alone.
void FailCOMError(int value);
void do_FailCOMError(int value, const char* file, int line);

} // namespace Pellix
