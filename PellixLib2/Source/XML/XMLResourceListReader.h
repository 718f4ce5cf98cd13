#pragma once

// Readers of "resource_list" documents: a visitor of the top-level entries keyed by their "ID"
// attribute, and the localised texts of the application's "LocalizableStrings" resource.

#include "XMLParser.h"

#include <string>
#include <vector>

namespace Pellix {

class ResourceListReader
{
public:
    virtual ~ResourceListReader() = default;

    // Hands each entry of the document's "resource_list" root to ReadItem, standing on its start
    // tag, and leaves the entry afterwards. A root of another name or an entry without "ID" fails
    // with a bare int -50.
    void ReadList(Parser& parser);
    virtual void ReadItem(Parser& parser, const Name& element, const UString& id) = 0;

    static const char* ErrorType();
    [[noreturn]] static void Throw(int);
};

// The text under `key` in the container reached by following `path` from the root of the
// "LocalizableStrings" resource, read once per process; empty when the resource, a container on the
// path or the key is missing.
UString LookupString(const std::vector<UString>& path, const UString& key);
UString LookupString(const UString& key);
UString LookupString(const char* key);
UString LookupString(const std::vector<std::string>& path, const char* key);

} // namespace Pellix
