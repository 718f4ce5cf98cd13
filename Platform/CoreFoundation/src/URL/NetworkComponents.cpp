// The scheme, host name and port of a URL, from its absolute form.

#include "URL/URLObject.h"

#include <CFPlatform/String.h>

#include <charconv>

namespace CFPlatform {

namespace {

struct HostAndPort
{
    std::string host;
    std::optional<std::string> port;
};

// authority = [ userinfo "@" ] host [ ":" port ], the host possibly a bracketed IP literal.
HostAndPort splitAuthority(std::string authority)
{
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        authority.erase(0, at + 1);
    }
    HostAndPort result;
    size_t hostEnd = 0;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        hostEnd = close == std::string::npos ? authority.size() : close + 1;
        result.host = authority.substr(1, hostEnd > 1 ? hostEnd - 2 : 0);
    } else {
        hostEnd = authority.find(':');
        hostEnd = hostEnd == std::string::npos ? authority.size() : hostEnd;
        result.host = authority.substr(0, hostEnd);
    }
    if (hostEnd < authority.size() && authority[hostEnd] == ':') {
        result.port = authority.substr(hostEnd + 1);
    }
    return result;
}

} // namespace

} // namespace CFPlatform

using namespace CFPlatform;

CFStringRef CFURLCopyScheme(CFURLRef anURL)
{
    const UriReference parts = urlOf(anURL, "CFURLCopyScheme").absoluteParts();
    return parts.scheme ? createStringFromUTF8(*parts.scheme) : nullptr;
}

CFStringRef CFURLCopyHostName(CFURLRef anURL)
{
    const UriReference parts = urlOf(anURL, "CFURLCopyHostName").absoluteParts();
    if (!parts.authority) {
        return nullptr;
    }
    const HostAndPort split = splitAuthority(*parts.authority);
    return split.host.empty() ? nullptr : createStringFromUTF8(split.host);
}

SInt32 CFURLGetPortNumber(CFURLRef anURL)
{
    const UriReference parts = urlOf(anURL, "CFURLGetPortNumber").absoluteParts();
    if (!parts.authority) {
        return -1;
    }
    const std::optional<std::string> port = splitAuthority(*parts.authority).port;
    int number = -1;
    if (!port || port->empty() ||
        std::from_chars(port->data(), port->data() + port->size(), number).ptr !=
            port->data() + port->size() ||
        number < 0 || number > 65535) {
        return -1;
    }
    return number;
}
