#include "XMLEntityLoader.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <cstring>
#include <mutex>

namespace Pellix {

namespace {

xmlExternalEntityLoader gSystemLoader = nullptr;

bool IsLocal(const char* url)
{
    return std::strstr(url, "://") == nullptr || std::strncmp(url, "file://", 7) == 0;
}

xmlParserInputPtr LoadEntity(const char* url, const char* id, xmlParserCtxtPtr context)
{
    if (context && context->validate && url && IsLocal(url)) {
        return gSystemLoader(url, id, context);
    }
    return nullptr;
}

} // namespace

void InstallEntityLoader()
{
    static std::once_flag once;
    std::call_once(once, [] {
        gSystemLoader = xmlGetExternalEntityLoader();
        xmlSetExternalEntityLoader(LoadEntity);
    });
}

} // namespace Pellix
