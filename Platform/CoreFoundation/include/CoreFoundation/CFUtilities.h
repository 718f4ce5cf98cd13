#pragma once

#include <CoreFoundation/CFURL.h>

// The user's home folder as a directory URL, from the account database (never the environment);
// NULL when the account has none.
CF_EXPORT CFURLRef CFCopyHomeDirectoryURL(void);
