#include "XMLResourceListReader.h"

#include "XMLFailure.h"
#include "XMLSerializedFile.h"

namespace Pellix {

namespace {

constexpr const char* kSourceFile = "PellixLib2/Source/XML/XMLResourceListReader";

const std::shared_ptr<ContainerItem>& StringsTable()
{
    static const std::shared_ptr<ContainerItem> table = ReadSerializedResourceFile(
        UString("LocalizableStrings", UString::k8Bit), UString("xml", UString::k8Bit));
    return table;
}

} // namespace

const char* ResourceListReader::ErrorType()
{
    return "ResourceListReader";
}

void ResourceListReader::Throw(int)
{
    FailStringError(ErrorType(), kSourceFile, __LINE__);
}

void ResourceListReader::ReadList(Parser& parser)
{
    if (!parser.DownToChild()) {
        return;
    }
    if (!(parser.CurrentElement() == Name("resource_list"))) {
        FailStringError(ErrorType(), kSourceFile, __LINE__);
    }
    while (parser.DownToChild()) {
        Name element = parser.CurrentElement();
        UString id;
        if (!parser.ReadAttribute(Name("ID"), id)) {
            FailStringError(ErrorType(), kSourceFile, __LINE__);
        }
        ReadItem(parser, element, id);
        parser.UpToParent();
    }
}

UString LookupString(const std::vector<UString>& path, const UString& key)
{
    std::shared_ptr<ContainerItem> container = StringsTable();
    for (const UString& name : path) {
        if (!container) {
            break;
        }
        container = container->GetContainerItem(name);
    }
    return container ? container->GetUStringItemValue(key) : UString();
}

UString LookupString(const UString& key)
{
    return LookupString(std::vector<UString>(), key);
}

UString LookupString(const char* key)
{
    return LookupString(UString(key, UString::k8Bit));
}

UString LookupString(const std::vector<std::string>& path, const char* key)
{
    std::vector<UString> names;
    for (const std::string& name : path) {
        names.emplace_back(name, UString::k8Bit);
    }
    return LookupString(names, UString(key, UString::k8Bit));
}

} // namespace Pellix
