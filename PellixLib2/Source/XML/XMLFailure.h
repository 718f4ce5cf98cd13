#pragma once

// The failure path of the XML layer: logs "FailString <type> at file:<file> line:<line>" and throws
// a bare int -50.

namespace Pellix {

[[noreturn]] void FailStringError(const char* type, const char* file, int line);

} // namespace Pellix
