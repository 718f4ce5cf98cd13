#pragma once

// One counter for the whole process, which stamps every record the Foundation, AppKit and WebKit
// models keep for tests, so a test can tell the order of events across them.

#include <cstdint>

namespace FoundationPlatform {

uint64_t nextRecordSequence();

} // namespace FoundationPlatform
