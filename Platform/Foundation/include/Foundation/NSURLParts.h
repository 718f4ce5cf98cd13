#pragma once

// The parts of a URL (NS::URL is a CFURLRef). Strings are the caller's to release.

#include <Foundation/NSTypes.h>

namespace NS {

// NULL where the URL has no such part; port is -1 then.
String scheme(URL url);
String host(URL url);
long port(URL url);
String lastPathComponent(URL url);
// The absolute URL's text.
String absoluteString(URL url);

} // namespace NS
