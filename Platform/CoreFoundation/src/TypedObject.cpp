#include "TypedObject.h"

#include <string>

namespace CFPlatform {

void wrongObject(CFTypeRef cf, const char* call, CFTypeID expected)
{
    if (!cf) {
        fatal(call, "NULL argument");
    }
    fatal(call, ("not a " + std::string(typeName(expected))).c_str());
}

void immutableObject(const char* call)
{
    fatal(call, "the object is immutable");
}

} // namespace CFPlatform
