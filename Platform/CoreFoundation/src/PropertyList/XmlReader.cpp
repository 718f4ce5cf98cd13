#include "PropertyList/XmlReader.h"

#include "PropertyList/Containers.h"
#include "PropertyList/IsoDate.h"
#include "PropertyList/Limits.h"
#include <CFPlatform/Base64.h>

#include <CFPlatform/String.h>
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFNumber.h>

#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <charconv>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace CFPlatform {

namespace {

// Set when the document declares an entity: such a document is refused before anything could
// load or expand it.
struct EntityGuard
{
    bool refused = false;
};

void refuseDocument(void* context)
{
    auto* parser = static_cast<xmlParserCtxtPtr>(context);
    static_cast<EntityGuard*>(parser->_private)->refused = true;
    xmlStopParser(parser);
}

void onEntityDeclaration(void* context, const xmlChar*, int, const xmlChar*, const xmlChar*, xmlChar*)
{
    refuseDocument(context);
}

void onUnparsedEntityDeclaration(void* context, const xmlChar*, const xmlChar*, const xmlChar*,
                                 const xmlChar*)
{
    refuseDocument(context);
}

xmlParserInputPtr onResolveEntity(void* context, const xmlChar*, const xmlChar*)
{
    refuseDocument(context);
    return nullptr;
}

void ignoreError(void*, xmlErrorPtr) {}

void ignoreMessage(void*, const char*, ...) {}

// libxml2 reports some errors (encoding errors among them) outside the parser's handlers, through
// the calling thread's global handlers; they are silenced while a document is parsed.
class SilencedErrors
{
public:
    SilencedErrors()
        : fGeneric(xmlGenericError), fGenericContext(xmlGenericErrorContext), fStructured(xmlStructuredError),
          fStructuredContext(xmlStructuredErrorContext)
    {
        xmlSetGenericErrorFunc(nullptr, ignoreMessage);
        xmlSetStructuredErrorFunc(nullptr, ignoreError);
    }
    SilencedErrors(const SilencedErrors&) = delete;
    SilencedErrors& operator=(const SilencedErrors&) = delete;
    ~SilencedErrors()
    {
        xmlSetGenericErrorFunc(fGenericContext, fGeneric);
        xmlSetStructuredErrorFunc(fStructuredContext, fStructured);
    }

private:
    xmlGenericErrorFunc fGeneric;
    void* fGenericContext;
    xmlStructuredErrorFunc fStructured;
    void* fStructuredContext;
};

struct DocumentDeleter
{
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};
using Document = std::unique_ptr<xmlDoc, DocumentDeleter>;

Document parseDocument(const UInt8* bytes, size_t size, std::string& problem)
{
    static std::once_flag sInitialised;
    std::call_once(sInitialised, xmlInitParser);
    SilencedErrors silenced;

    xmlParserCtxtPtr parser =
        xmlCreateMemoryParserCtxt(reinterpret_cast<const char*>(bytes), static_cast<int>(size));
    if (!parser) {
        problem = "the document cannot be parsed";
        return nullptr;
    }
    xmlCtxtUseOptions(parser, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    EntityGuard guard;
    parser->_private = &guard;
    parser->sax->entityDecl = onEntityDeclaration;
    parser->sax->unparsedEntityDecl = onUnparsedEntityDeclaration;
    parser->sax->resolveEntity = onResolveEntity;
    parser->sax->externalSubset = nullptr;
    parser->sax->serror = ignoreError;

    xmlParseDocument(parser);
    Document document(parser->myDoc);
    parser->myDoc = nullptr;
    bool wellFormed = parser->wellFormed != 0;
    xmlFreeParserCtxt(parser);

    if (guard.refused) {
        problem = "the document declares entities";
        return nullptr;
    }
    if (!wellFormed || !document) {
        problem = "the document is not well-formed XML";
        return nullptr;
    }
    return document;
}

bool isXmlSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isXmlSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isXmlSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// The whole of the trimmed text, with an optional leading '+', as one number.
template <typename T>
std::optional<T> parsedNumber(std::string_view text)
{
    std::string_view number = trimmed(text);
    if (number.starts_with('+')) {
        number.remove_prefix(1);
    }
    T value{};
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (number.empty() || error != std::errc() || end != number.data() + number.size()) {
        return std::nullopt;
    }
    return value;
}

bool isNamed(const xmlNode* element, std::string_view name)
{
    return element->ns == nullptr && reinterpret_cast<const char*>(element->name) == name;
}

// Turns the element tree of a property list into CF objects.
class TreeConverter
{
public:
    explicit TreeConverter(CFOptionFlags mutability) : fMutability(mutability) {}

    CFTypeRef convertDocument(xmlDoc* document);
    const std::string& problem() const { return fProblem; }

private:
    CFTypeRef convert(xmlNode* element, int depth);
    CFTypeRef convertArray(xmlNode* element, int depth);
    CFTypeRef convertDictionary(xmlNode* element, int depth);
    CFTypeRef convertString(xmlNode* element);
    CFTypeRef convertInteger(xmlNode* element);
    CFTypeRef convertReal(xmlNode* element);
    CFTypeRef convertData(xmlNode* element);
    CFTypeRef convertDate(xmlNode* element);
    CFTypeRef convertBoolean(xmlNode* element, CFBooleanRef value);

    // The character data of a leaf element; nothing when it holds elements or entity references.
    std::optional<std::string> textOf(xmlNode* element);
    // The child elements of a container; nothing when it holds other text than white space.
    std::optional<std::vector<xmlNode*>> childElementsOf(xmlNode* element);

    std::nullptr_t fail(std::string problem)
    {
        if (fProblem.empty()) {
            fProblem = std::move(problem);
        }
        return nullptr;
    }

    CFOptionFlags fMutability;
    std::string fProblem;
};

CFTypeRef TreeConverter::convertDocument(xmlDoc* document)
{
    xmlNode* root = xmlDocGetRootElement(document);
    if (!root || !isNamed(root, "plist")) {
        return fail("the document is not a property list");
    }
    std::optional<std::vector<xmlNode*>> values = childElementsOf(root);
    if (!values) {
        return nullptr;
    }
    if (values->size() != 1) {
        return fail("a property list holds exactly one value");
    }
    return convert(values->front(), 0);
}

CFTypeRef TreeConverter::convert(xmlNode* element, int depth)
{
    if (depth > kMaxPropertyListDepth) {
        return fail("the property list is nested too deeply");
    }
    if (isNamed(element, "dict")) {
        return convertDictionary(element, depth);
    }
    if (isNamed(element, "array")) {
        return convertArray(element, depth);
    }
    if (isNamed(element, "string")) {
        return convertString(element);
    }
    if (isNamed(element, "integer")) {
        return convertInteger(element);
    }
    if (isNamed(element, "real")) {
        return convertReal(element);
    }
    if (isNamed(element, "data")) {
        return convertData(element);
    }
    if (isNamed(element, "date")) {
        return convertDate(element);
    }
    if (isNamed(element, "true")) {
        return convertBoolean(element, kCFBooleanTrue);
    }
    if (isNamed(element, "false")) {
        return convertBoolean(element, kCFBooleanFalse);
    }
    return fail("unknown element <" + std::string(reinterpret_cast<const char*>(element->name)) + ">");
}

CFTypeRef TreeConverter::convertArray(xmlNode* element, int depth)
{
    std::optional<std::vector<xmlNode*>> children = childElementsOf(element);
    if (!children) {
        return nullptr;
    }
    OwnedList values;
    for (xmlNode* child : *children) {
        CFTypeRef value = convert(child, depth + 1);
        if (!value) {
            return nullptr;
        }
        values.add(value);
    }
    return createArray(values, fMutability);
}

CFTypeRef TreeConverter::convertDictionary(xmlNode* element, int depth)
{
    std::optional<std::vector<xmlNode*>> children = childElementsOf(element);
    if (!children) {
        return nullptr;
    }
    if (children->size() % 2 != 0) {
        return fail("a dictionary key has no value");
    }
    OwnedList keys;
    OwnedList values;
    std::set<std::string> seen;
    for (size_t i = 0; i < children->size(); i += 2) {
        xmlNode* keyElement = (*children)[i];
        if (!isNamed(keyElement, "key")) {
            return fail("a dictionary value has no key");
        }
        std::optional<std::string> key = textOf(keyElement);
        if (!key) {
            return nullptr;
        }
        if (!seen.insert(*key).second) {
            return fail("the dictionary key \"" + *key + "\" appears twice");
        }
        CFStringRef keyString = createStringFromUTF8(*key);
        if (!keyString) {
            return fail("a key is not UTF-8");
        }
        keys.add(keyString);
        CFTypeRef value = convert((*children)[i + 1], depth + 1);
        if (!value) {
            return nullptr;
        }
        values.add(value);
    }
    return createDictionary(keys, values, fMutability);
}

CFTypeRef TreeConverter::convertString(xmlNode* element)
{
    std::optional<std::string> text = textOf(element);
    if (!text) {
        return nullptr;
    }
    CFStringRef string = createStringFromUTF8(*text);
    return string ? adoptLeaf(string, fMutability) : fail("a string is not UTF-8");
}

CFTypeRef TreeConverter::convertInteger(xmlNode* element)
{
    std::optional<std::string> text = textOf(element);
    if (!text) {
        return nullptr;
    }
    std::optional<int64_t> value = parsedNumber<int64_t>(*text);
    if (!value) {
        return fail("\"" + *text + "\" is not a 64-bit integer");
    }
    return CFNumberCreate(nullptr, kCFNumberSInt64Type, &*value);
}

CFTypeRef TreeConverter::convertReal(xmlNode* element)
{
    std::optional<std::string> text = textOf(element);
    if (!text) {
        return nullptr;
    }
    std::optional<double> value = parsedNumber<double>(*text);
    if (!value) {
        return fail("\"" + *text + "\" is not a real number");
    }
    return CFNumberCreate(nullptr, kCFNumberFloat64Type, &*value);
}

CFTypeRef TreeConverter::convertData(xmlNode* element)
{
    std::optional<std::string> text = textOf(element);
    if (!text) {
        return nullptr;
    }
    std::optional<std::vector<unsigned char>> bytes = decodeBase64(*text);
    if (!bytes) {
        return fail("a data element is not Base64");
    }
    CFDataRef data = CFDataCreate(nullptr, bytes->data(), static_cast<CFIndex>(bytes->size()));
    return adoptLeaf(data, fMutability);
}

CFTypeRef TreeConverter::convertDate(xmlNode* element)
{
    std::optional<std::string> text = textOf(element);
    if (!text) {
        return nullptr;
    }
    std::optional<CFAbsoluteTime> time = parseIsoDate(trimmed(*text));
    if (!time) {
        return fail("\"" + *text + "\" is not a date");
    }
    return CFDateCreate(nullptr, *time);
}

CFTypeRef TreeConverter::convertBoolean(xmlNode* element, CFBooleanRef value)
{
    std::optional<std::vector<xmlNode*>> children = childElementsOf(element);
    if (!children) {
        return nullptr;
    }
    if (!children->empty()) {
        return fail("a boolean holds elements");
    }
    return CFRetain(value);
}

std::optional<std::string> TreeConverter::textOf(xmlNode* element)
{
    std::string text;
    for (xmlNode* child = element->children; child; child = child->next) {
        switch (child->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            text += reinterpret_cast<const char*>(child->content);
            break;
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            break;
        default:
            fail("<" + std::string(reinterpret_cast<const char*>(element->name)) + "> holds more than text");
            return std::nullopt;
        }
    }
    return text;
}

std::optional<std::vector<xmlNode*>> TreeConverter::childElementsOf(xmlNode* element)
{
    std::vector<xmlNode*> elements;
    for (xmlNode* child = element->children; child; child = child->next) {
        switch (child->type) {
        case XML_ELEMENT_NODE:
            elements.push_back(child);
            break;
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            if (!trimmed(reinterpret_cast<const char*>(child->content)).empty()) {
                fail("<" + std::string(reinterpret_cast<const char*>(element->name)) + "> holds text");
                return std::nullopt;
            }
            break;
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            break;
        default:
            fail("<" + std::string(reinterpret_cast<const char*>(element->name)) +
                 "> holds an entity reference");
            return std::nullopt;
        }
    }
    return elements;
}

} // namespace

CFPropertyListRef readXmlPropertyList(const UInt8* bytes, size_t size, CFOptionFlags mutability,
                                      std::string& problem)
{
    if (size == 0) {
        problem = "the document is empty";
        return nullptr;
    }
    if (size > kMaxPropertyListBytes) {
        problem = "the document is too large";
        return nullptr;
    }
    Document document = parseDocument(bytes, size, problem);
    if (!document) {
        return nullptr;
    }
    TreeConverter converter(mutability);
    CFTypeRef plist = converter.convertDocument(document.get());
    if (!plist) {
        problem = converter.problem();
    }
    return plist;
}

} // namespace CFPlatform
