// The "resource_list" file form of the item tree: writing items as elements and reading them back
// for a requested language.

#include "XMLSerializable.h"
#include "XMLWriter.h"

#include "UString/UStringUtil.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace Pellix {

namespace {

constexpr NumFormat kDecimal = 1;
constexpr unsigned int kDefaultLanguage = MakeItemType("enus");
constexpr unsigned int kThisPlatform = MakeItemType("MacX");
constexpr unsigned int kBytesPerLine = 16;

const UString kRootNameUString("resource_list", UString::k8Bit);
const UString kItemNameAttributeUString("name", UString::k8Bit);
const UString kValueAttributeUString("value", UString::k8Bit);
const UString kSizeAttributeUString("size", UString::k8Bit);
const UString kLanguageAttributeUString("lang", UString::k8Bit);
const UString kPlatformAttributeUString("platform", UString::k8Bit);

Name AttributeName(const UString& name)
{
    return Name(name, UString());
}

const Name kItemNameAttribute = AttributeName(kItemNameAttributeUString);
const Name kValueAttribute = AttributeName(kValueAttributeUString);
const Name kSizeAttribute = AttributeName(kSizeAttributeUString);

Name ElementName(Item::ItemType type)
{
    return AttributeName(OSTypeToUString(type));
}

// Every run of hyphens cut to one, and none at the end: a comment may hold neither "--" nor end
// in "-".
UString CleanComment(const UString& comment)
{
    UString cleaned;
    for (unsigned short unit : comment) {
        if (unit != '-' || cleaned.empty() || cleaned[cleaned.size() - 1] != '-') {
            cleaned.append(unit);
        }
    }
    if (!cleaned.empty() && cleaned[cleaned.size() - 1] == '-') {
        cleaned.pop_back();
    }
    return cleaned;
}

UString HexLine(const unsigned char* bytes, unsigned int count)
{
    char digits[2 * kBytesPerLine + 1];
    for (unsigned int i = 0; i < count; ++i) {
        std::snprintf(digits + 2 * i, 3, "%.2x", bytes[i]);
    }
    return UString(digits, 2 * count, UString::k8Bit);
}

int HexValue(unsigned short unit)
{
    if (unit >= '0' && unit <= '9') {
        return unit - '0';
    }
    if (unit >= 'a' && unit <= 'f') {
        return unit - 'a' + 10;
    }
    if (unit >= 'A' && unit <= 'F') {
        return unit - 'A' + 10;
    }
    return -1;
}

// The buffer holds the declared size only as far as the text has digit pairs for it, so a file
// can neither invent bytes nor ask for more memory than its own length.
std::shared_ptr<RawDataBuffer> DecodeRawData(const UString& sizeText, const UString& text)
{
    std::vector<unsigned char> bytes;
    int high = -1;
    for (unsigned short unit : text) {
        int digit = HexValue(unit);
        if (digit < 0) {
            continue;
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<unsigned char>(high << 4 | digit));
            high = -1;
        }
    }
    long declared = UStringToNum(sizeText, kDecimal);
    auto size = static_cast<uint32_t>(std::clamp<long>(declared, 0, static_cast<long>(bytes.size())));
    auto buffer = std::make_shared<RawDataBuffer>(size);
    std::copy_n(bytes.begin(), size, buffer->fData);
    return buffer;
}

UString AttributeOrEmpty(const std::vector<AttributePair>& attributes, const UString& name)
{
    UString value;
    FindAttributeInList(attributes, name, value);
    return value;
}

std::shared_ptr<Item> MakeItem(Parser& parser, const std::vector<AttributePair>& attributes,
                               const UString& name, unsigned int language);

void ParseSerialized(Parser& parser, ContainerItem& target, unsigned int language)
{
    std::shared_ptr<Item> previous;
    while (parser.DownToChild()) {
        auto attributes = std::make_unique<std::vector<AttributePair>>();
        parser.ReadAllAttributes(*attributes);
        UString text;
        unsigned int itemLanguage = FindAttributeInList(*attributes, kLanguageAttributeUString, text)
                                        ? UStringToOSType(text)
                                        : kDefaultLanguage;
        if (FindAttributeInList(*attributes, kPlatformAttributeUString, text) &&
            UStringToOSType(text) != kThisPlatform) {
            parser.UpToParent();
            continue;
        }
        std::shared_ptr<Item> item;
        UString name;
        if (FindAttributeInList(*attributes, kItemNameAttributeUString, name)) {
            item = MakeItem(parser, *attributes, name, language);
            if (item) {
                item->AdoptAttributes(std::move(attributes));
            }
        }
        ParseSerialized(parser, target, language);
        if (item) {
            bool localised = itemLanguage != kDefaultLanguage && itemLanguage == language;
            if (localised && previous && previous->GetName() == item->GetName() &&
                previous->GetType() == item->GetType()) {
                target.RemoveItem(previous);
            }
            if (itemLanguage == kDefaultLanguage || localised) {
                target.AddItem(item);
                previous = item;
            } else {
                previous.reset();
            }
        }
        parser.UpToParent();
    }
    target.ClearChanged();
}

std::shared_ptr<Item> MakeItem(Parser& parser, const std::vector<AttributePair>& attributes,
                               const UString& name, unsigned int language)
{
    UString value = AttributeOrEmpty(attributes, kValueAttributeUString);
    UString type(parser.CurrentElement().GetLocalName(), UString::kUTF8);
    switch (UStringToOSType(type)) {
    case Item::kSInt32:
        return CreateSInt32(name, static_cast<int32_t>(static_cast<uint32_t>(UStringToNum(value, kDecimal))));
    case Item::kDouble:
        return CreateDouble(name, UStringToDouble(value));
    case Item::kOSType:
        return CreateOSType(name, UStringToOSType(value));
    case Item::kUString:
        return CreateUString(
            name, FindAttributeInList(attributes, kValueAttributeUString, value) ? value : parser.ReadText());
    case Item::kRawData: {
        UString text = parser.ReadText();
        return CreateRawData(name, DecodeRawData(AttributeOrEmpty(attributes, kSizeAttributeUString), text));
    }
    case Item::kContainer: {
        auto container = CreateContainer(name);
        ParseSerialized(parser, *container, language);
        return container;
    }
    default:
        std::cout << "ParseSerialXML: unknown type!" << std::flush;
        return nullptr;
    }
}

} // namespace

void Item::Write(Writer& writer)
{
    if (!fComment.empty()) {
        writer.NewLine();
        writer.Comment(CleanComment(fComment));
    }
    Name element = ElementName(fType);
    writer.StartElement(element);
    writer.Attribute(kItemNameAttribute, fName);
    for (const AttributePair& attribute : *fAttributes) {
        if (!(attribute.fName == kItemNameAttributeUString) && !(attribute.fName == kValueAttributeUString) &&
            !(attribute.fName == kSizeAttributeUString)) {
            writer.Attribute(AttributeName(attribute.fName), attribute.fValue);
        }
    }
    DoItemWrite(writer);
    fChanged = false;
    writer.EndElement(element);
}

template <>
void SInt32Item::DoItemWrite(Writer& writer) const
{
    writer.Attribute(kValueAttribute, NumToUString(Get(), kDecimal));
}

template <>
void DoubleItem::DoItemWrite(Writer& writer) const
{
    writer.Attribute(kValueAttribute, DoubleToUStringPrecise(Get()));
}

template <>
void OSTypeItem::DoItemWrite(Writer& writer) const
{
    writer.Attribute(kValueAttribute, OSTypeToUString(Get()));
}

template <>
void UStringItem::DoItemWrite(Writer& writer) const
{
    writer.Write(Get());
}

void RawDataItem::DoItemWrite(Writer& writer) const
{
    if (!fBuffer || !fBuffer->fData) {
        return;
    }
    writer.Attribute(kSizeAttribute, NumToUString(fBuffer->fSize, kDecimal));
    for (unsigned int offset = 0; offset < fBuffer->fSize; offset += kBytesPerLine) {
        writer.NewLine();
        writer.Write(HexLine(fBuffer->fData + offset, std::min(kBytesPerLine, fBuffer->fSize - offset)));
    }
}

void ContainerItem::DoItemWrite(Writer& writer) const
{
    for (const std::shared_ptr<Item>& child : fItems) {
        if (child) {
            child->Write(writer);
        }
    }
}

void ContainerItem::WriteToFile(std::ostream* out)
{
    if (!out) {
        return;
    }
    Writer writer(*out, Name(""), UString(), UString());
    Name root = AttributeName(kRootNameUString);
    writer.StartElement(root);
    Write(writer);
    writer.EndElement(root);
}

std::shared_ptr<ContainerItem> ReadContainerFromFile(std::istream* in, unsigned int language)
{
    if (!in) {
        return nullptr;
    }
    Parser parser(*in, Parser::kNoValidation);
    ContainerItem scratch{UString()};
    ParseSerialized(parser, scratch, language);
    return ContainerFromItem(scratch.GetNthItem(0));
}

} // namespace Pellix
