// Item files from outside: read for two languages and walked as a resource list, nothing crashes or
// loads external entities, and whatever reads is written back, and reads and writes again to the
// same bytes after one round.

#include "XML/XMLResourceListReader.h"
#include "XML/XMLSerializable.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

namespace {

using Pellix::ContainerItem;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "item_file: %s\n", what);
    std::abort();
}

std::shared_ptr<ContainerItem> read(const std::string& bytes, unsigned int language)
{
    std::istringstream in(bytes);
    try {
        return Pellix::ReadContainerFromFile(&in, language);
    } catch (int) {
        return nullptr;
    }
}

std::string write(ContainerItem& tree)
{
    std::ostringstream out;
    try {
        tree.WriteToFile(&out);
    } catch (int) {
        fail("a tree that was read cannot be written");
    }
    return out.str();
}

// The file form carries no namespace declarations of elements that are no items: an attribute whose
// prefix only such an element declared loses its namespace on writing.
bool usesUndeclaredPrefix(const Pellix::Item& item, std::set<std::string> declared)
{
    auto* attributes = const_cast<Pellix::Item&>(item).GetAttributeList();
    for (const Pellix::AttributePair& pair : *attributes) {
        std::string name = pair.fName.utf8_str();
        if (name.rfind("xmlns:", 0) == 0) {
            declared.insert(name.substr(6));
        }
    }
    for (const Pellix::AttributePair& pair : *attributes) {
        std::string name = pair.fName.utf8_str();
        size_t colon = name.find(':');
        if (colon != std::string::npos) {
            std::string prefix = name.substr(0, colon);
            if (prefix != "xml" && prefix != "xmlns" && !declared.count(prefix)) {
                return true;
            }
        }
    }
    if (auto* container = dynamic_cast<const ContainerItem*>(&item)) {
        for (unsigned int i = 0; i < container->GetNumItems(); ++i) {
            if (usesUndeclaredPrefix(*container->GetNthItem(i), declared)) {
                return true;
            }
        }
    }
    return false;
}

void checkRoundTrips(const std::string& bytes, unsigned int language)
{
    std::shared_ptr<ContainerItem> tree = read(bytes, language);
    if (!tree || usesUndeclaredPrefix(*tree, {})) {
        return;
    }
    std::string first = write(*tree);
    std::shared_ptr<ContainerItem> second = read(first, language);
    if (!second) {
        fail("a written file does not read back");
    }
    std::string secondBytes = write(*second);
    std::shared_ptr<ContainerItem> third = read(secondBytes, language);
    if (!third) {
        fail("a rewritten file does not read back");
    }
    if (write(*third) != secondBytes) {
        fail("a file read and written again changed");
    }
}

// Reads every attribute and all text of each entry.
class WalkingReader : public Pellix::ResourceListReader
{
public:
    void ReadItem(Pellix::Parser& parser, const Pellix::Name&, const UString&) override { walk(parser); }

private:
    void walk(Pellix::Parser& parser)
    {
        std::vector<Pellix::AttributePair> attributes;
        parser.ReadAllAttributes(attributes);
        UString value;
        parser.ReadAttribute(Pellix::Name("ID"), value);
        parser.ReadText();
        while (parser.DownToChild()) {
            walk(parser);
            parser.UpToParent();
        }
    }
};

void walkResourceList(const std::string& bytes)
{
    std::istringstream in(bytes);
    try {
        Pellix::Parser parser(in, Pellix::Parser::kNoValidation);
        WalkingReader reader;
        reader.ReadList(parser);
    } catch (int) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), size);
    checkRoundTrips(bytes, Pellix::MakeItemType("enus"));
    checkRoundTrips(bytes, Pellix::MakeItemType("dede"));
    walkResourceList(bytes);
    return 0;
}
