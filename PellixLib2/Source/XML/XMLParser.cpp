#include "XMLParser.h"

#include "XMLEntityLoader.h"
#include "XMLFailure.h"

#include <libxml/tree.h>
#include <libxml/xmlreader.h>

namespace Pellix {

namespace {

constexpr const char* kSourceFile = "PellixLib2/Source/XML/XMLParser";

constexpr int kElement = XML_READER_TYPE_ELEMENT;
constexpr int kText = XML_READER_TYPE_TEXT;
constexpr int kCData = XML_READER_TYPE_CDATA;
constexpr int kProcessingInstruction = XML_READER_TYPE_PROCESSING_INSTRUCTION;
constexpr int kEndElement = XML_READER_TYPE_END_ELEMENT;

const UString kSpaceEncoding("XML_SPACE_ENCODE", UString::k8Bit);

constexpr AttributeMap_POD<bool> kBoolEntries[] = {{"true", true}, {"false", false}};

int ReadFromStream(void* context, char* buffer, int length)
{
    auto* in = static_cast<std::istream*>(context);
    in->read(buffer, length);
    return static_cast<int>(in->gcount());
}

int Options(Parser::Validate validate)
{
    int options = XML_PARSE_NOENT | XML_PARSE_NONET;
    if (validate != Parser::kNoValidation) {
        options |= XML_PARSE_DTDVALID;
    }
    return options;
}

UString FromUTF8(const xmlChar* text)
{
    return text ? UString(reinterpret_cast<const char*>(text), UString::kUTF8) : UString();
}

const xmlChar* AsXmlChars(const std::string& text)
{
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

struct XmlFree
{
    void operator()(xmlChar* text) const { xmlFree(text); }
};

} // namespace

const AttributeMap<bool> kBoolAttribute(kBoolEntries);

// Bridges the reader's error callback to the parser that owns the reader.
class ParserErrors
{
public:
    static void Handle(void* arg, const char*, xmlParserSeverities severity, xmlTextReaderLocatorPtr locator)
    {
        static_cast<Parser*>(arg)->RecordError(severity, xmlTextReaderLocatorLineNumber(locator));
    }
};

Name::Name(const char* local) : Name(local, nullptr) {}

Name::Name(const char* local, const char* namespaceURI)
    : fNamespaceURI(namespaceURI ? namespaceURI : ""), fLocalName(local ? local : "")
{}

Name::Name(const UString& local, const UString& namespaceURI)
    : fNamespaceURI(namespaceURI.utf8_str()), fLocalName(local.utf8_str())
{}

bool Name::Valid() const
{
    return xmlValidateName(AsXmlChars(fLocalName), 0) == 0;
}

bool FindAttributeInList(const std::vector<AttributePair>& list, const UString& name, UString& value)
{
    for (const AttributePair& pair : list) {
        if (pair.fName == name) {
            value = pair.fValue;
            return true;
        }
    }
    return false;
}

void AddAttributeToList(std::vector<AttributePair>& list, const AttributePair& pair)
{
    for (AttributePair& existing : list) {
        if (existing.fName == pair.fName) {
            existing.fValue = pair.fValue;
            return;
        }
    }
    list.push_back(pair);
}

const char* ErrType()
{
    return "Pellix";
}

Parser::Parser(std::istream& in, Validate validate) : fStream(in)
{
    InstallEntityLoader();
    fReader = xmlReaderForIO(ReadFromStream, nullptr, &fStream, nullptr, nullptr, Options(validate));
    if (!fReader) {
        FailStringError(ErrType(), kSourceFile, __LINE__);
    }
    xmlTextReaderSetErrorHandler(fReader, ParserErrors::Handle, this);
}

Parser::~Parser()
{
    xmlFreeTextReader(fReader);
}

void Parser::Init(const char* url, Validate validate)
{
    Reset(false);
    Check(xmlReaderNewIO(fReader, ReadFromStream, nullptr, &fStream, url, nullptr, Options(validate)));
    xmlTextReaderSetErrorHandler(fReader, ParserErrors::Handle, this);
}

void Parser::Reset(bool collect)
{
    fState = kOutside;
    fDepth = 0;
    fEmpty = false;
    fPushedBack = false;
    fErrorLevel = -1;
    fErrorLine = 0;
    fCollect = collect;
}

void Parser::SetFilter(std::unique_ptr<Filter> filter)
{
    fFilter = std::move(filter);
}

void Parser::RecordError(int severity, int line)
{
    switch (severity) {
    case XML_PARSER_SEVERITY_VALIDITY_WARNING:
        fErrorLevel = 4;
        break;
    case XML_PARSER_SEVERITY_VALIDITY_ERROR:
        fErrorLevel = 5;
        break;
    case XML_PARSER_SEVERITY_WARNING:
        fErrorLevel = 3;
        break;
    case XML_PARSER_SEVERITY_ERROR:
        fErrorLevel = 2;
        break;
    default:
        if (fErrorLevel == -1) {
            return;
        }
        break;
    }
    fErrorLine = static_cast<uint32_t>(line);
}

int Parser::Check(int result) const
{
    if (fErrorLevel != -1 || result == -1) {
        FailStringError(ErrType(), kSourceFile, __LINE__);
    }
    return result;
}

int Parser::DoThrow(int result, const char*, int, const char*, const char*)
{
    return Check(result);
}

bool Parser::Advance(bool textMode, int& nodeType)
{
    for (;;) {
        if (!fPushedBack && Check(xmlTextReaderRead(fReader)) == 0) {
            return false;
        }
        fPushedBack = false;
        nodeType = Check(xmlTextReaderNodeType(fReader));
        if (nodeType != kProcessingInstruction) {
            return true;
        }
        if (fCollect) {
            fInstructions.emplace_back(FromUTF8(xmlTextReaderConstName(fReader)),
                                       FromUTF8(xmlTextReaderConstValue(fReader)));
        }
        if (textMode) {
            return true;
        }
    }
}

bool Parser::DoDownToChild()
{
    if (fEmpty || fState == kEnded) {
        fState = kEnded;
        return false;
    }
    int nodeType = 0;
    while (Advance(false, nodeType)) {
        switch (nodeType) {
        case kText:
        case kCData:
            fState = kInContent;
            fPushedBack = true;
            return false;
        case kEndElement:
            fState = kEnded;
            return false;
        case kElement:
            fState = kEntered;
            fEmpty = Check(xmlTextReaderIsEmptyElement(fReader)) == 1;
            ++fDepth;
            return true;
        default:
            break;
        }
    }
    return false;
}

bool Parser::DownToChild()
{
    while (DoDownToChild()) {
        if (!fFilter || !fFilter->SkipCurrentElement()) {
            return true;
        }
        UpToParent();
    }
    return false;
}

bool Parser::DownToChild(const Name& name)
{
    while (DownToChild()) {
        if (CurrentElement() == name) {
            return true;
        }
        UpToParent();
    }
    return false;
}

bool Parser::DownToChildNounexp(const Name& name)
{
    return DownToChild(name);
}

bool Parser::DownToReqChild(const Name& name)
{
    return DownToChild(name);
}

bool Parser::DownToReqChildNounexp(const Name& name)
{
    return DownToChild(name);
}

bool Parser::DownToReqChildren(const Name& name, bool& found)
{
    if (!DownToChild(name)) {
        return false;
    }
    found = true;
    return true;
}

bool Parser::DownToReqChildrenNounexp(const Name& name, bool& found)
{
    return DownToReqChildren(name, found);
}

void Parser::Nounexp()
{
    if (DownToChild()) {
        UpToParent();
    }
}

void Parser::UpToParent()
{
    if (!fEmpty && fState != kEnded) {
        int nesting = 1;
        int nodeType = 0;
        for (;;) {
            if (!Advance(false, nodeType)) {
                return;
            }
            if (nodeType == kElement && Check(xmlTextReaderIsEmptyElement(fReader)) != 1) {
                ++nesting;
            } else if (nodeType == kEndElement && nesting-- == 1) {
                break;
            }
        }
    }
    fEmpty = false;
    fState = fDepth < 2 ? kOutside : kInContent;
    --fDepth;
}

Name Parser::CurrentElement() const
{
    const xmlChar* local = xmlTextReaderConstLocalName(fReader);
    const xmlChar* namespaceURI = xmlTextReaderConstNamespaceUri(fReader);
    return Name(reinterpret_cast<const char*>(local), reinterpret_cast<const char*>(namespaceURI));
}

bool Parser::ReadAttribute(const Name& name, UString& value)
{
    const std::string& namespaceURI = name.GetNamespaceURI();
    std::unique_ptr<xmlChar, XmlFree> text(xmlTextReaderGetAttributeNs(
        fReader, AsXmlChars(name.GetLocalName()), namespaceURI.empty() ? nullptr : AsXmlChars(namespaceURI)));
    if (!text) {
        return false;
    }
    value = FromUTF8(text.get());
    return true;
}

bool Parser::ReadReqAttribute(const Name& name, UString& value)
{
    return ReadAttribute(name, value);
}

bool Parser::ReadAllAttributes(std::vector<AttributePair>& list)
{
    int count = Check(xmlTextReaderAttributeCount(fReader));
    list.resize(static_cast<std::size_t>(count));
    bool read = false;
    for (int index = 0; index < count; ++index) {
        if (Check(xmlTextReaderMoveToAttributeNo(fReader, index)) != 1) {
            continue;
        }
        const xmlChar* name = xmlTextReaderConstName(fReader);
        const xmlChar* value = xmlTextReaderConstValue(fReader);
        if (name && value) {
            list[static_cast<std::size_t>(index)] = AttributePair(FromUTF8(name), FromUTF8(value));
            read = true;
        }
    }
    if (count > 0) {
        Check(xmlTextReaderMoveToElement(fReader));
    }
    return read;
}

UString Parser::ReadText()
{
    UString text;
    if (fEmpty || fState == kEnded) {
        fState = kEnded;
        return text;
    }
    int nodeType = 0;
    while (Advance(true, nodeType)) {
        if (nodeType == kText || nodeType == kCData) {
            text.append(FromUTF8(xmlTextReaderConstValue(fReader)));
            fState = kInContent;
        } else if (nodeType == kElement) {
            fState = kInContent;
            fPushedBack = true;
            return text;
        } else if (nodeType == kEndElement) {
            fState = kEnded;
            return text == kSpaceEncoding ? UString(' ') : text;
        } else if (!text.empty()) {
            return text;
        }
    }
    return text;
}

void Parser::CollectProcessingInstructions(bool collect)
{
    fCollect = collect;
}

bool Parser::GetProcessingInstruction(UString& target, UString& data)
{
    if (fInstructions.empty()) {
        return false;
    }
    target = fInstructions.front().first;
    data = fInstructions.front().second;
    fInstructions.pop_front();
    return true;
}

bool Parser::IsWhitespace(unsigned short unit)
{
    return unit == 9 || unit == 10 || unit == 13 || unit == 32;
}

} // namespace Pellix
