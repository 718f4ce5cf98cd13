#include "Failure.h"

#include <optional>

namespace Pellix {

std::atomic<int32_t> gLastError{0};

namespace {

constexpr const char* kWindows = "Windows";
constexpr const char* kCOM = "COM";

[[noreturn]] void throwForeign(const char* kind, int value)
{
    throw VorkError(kind, kind, kind, value, "", std::nullopt);
}

[[noreturn]] void throwForeign(const char* kind, int value, const char* file, int line)
{
    throw VorkError(kind, kind, kind, value, file, line, std::nullopt);
}

} // namespace

void Failure(int code, int)
{
    gLastError.store(code, std::memory_order_relaxed);
    throw VorkError(code);
}

void FailNIL(const void* p)
{
    if (!p) {
        Failure(memFullErr);
    }
}

void FailNILRes(const void* p)
{
    if (!p) {
        Failure(resNotFound);
    }
}

void FailOSErr(int status)
{
    if (status != 0) {
        Failure(status);
    }
}

void FailMemFullError()
{
    Failure(memFullErr);
}

void do_Failure(int code, const char* file, int line)
{
    gLastError.store(code, std::memory_order_relaxed);
    throw VorkError(code, file, line);
}

void do_FailNILRes(const void* p, const char* file, int line)
{
    if (!p) {
        do_Failure(resNotFound, file, line);
    }
}

void FailWinError(int value)
{
    if (value != 0) {
        throwForeign(kWindows, value);
    }
}

void do_FailWinError(unsigned value, const char* file, int line)
{
    if (value != 0) {
        throwForeign(kWindows, static_cast<int>(value), file, line);
    }
}

void FailWinAPIError(int value)
{
    FailWinError(value);
}

void do_FailWinAPIError(unsigned value, const char* file, int line)
{
    do_FailWinError(value, file, line);
}

void FailCOMError(int value)
{
    if (value < 0) {
        throwForeign(kCOM, value);
    }
}

void do_FailCOMError(int value, const char* file, int line)
{
    if (value < 0) {
        throwForeign(kCOM, value, file, line);
    }
}

} // namespace Pellix
