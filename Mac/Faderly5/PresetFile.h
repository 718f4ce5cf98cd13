#pragma once

// Preset files: the page's preset text as it was handed over, nothing added. Texts are at most
// kMaximumPresetBytes each way; beyond that nothing is written or applied.

#include <Foundation/NSTypes.h>

#include <cstddef>

constexpr size_t kMaximumPresetBytes = 16 * 1024 * 1024;

// The text of the regular file at `path` to apply, or NULL: UTF-8 text carrying "kAPIVersion",
// else UTF-16 text with a byte-order mark. The caller releases it.
NS::String readPresetText(NS::String path);

// "gApp.appdata.datastore.applyPreset('<Base64 of the query-escaped text>')"; the caller releases it.
NS::String applyPresetScript(NS::String text);
