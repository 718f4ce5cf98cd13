#pragma once

// The operations of the toll-free NS::URL (a CFURLRef). New URLs and strings are the caller's to
// release.

#include <Foundation/NSTypes.h>

namespace NS {

URL fileURLWithPath(String path, bool isDirectory = false);
// NULL when the text is no URL.
URL URLWithString(String text);
// The file-system path of a file URL; NULL for other URLs.
String path(URL url);

} // namespace NS
