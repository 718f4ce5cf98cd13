#pragma once

// The library's pull parser over the libxml2 text reader: a caller enters a child element, reads
// its attributes or text and climbs back to the parent. Failures log a FailString line and throw a
// bare int -50.

#include "UString/UString.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <istream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct _xmlTextReader;

namespace Pellix {

// A qualified name: namespace URI and local name, both UTF-8.
class Name
{
public:
    Name(const char* local);
    Name(const char* local, const char* namespaceURI);
    Name(const UString& local, const UString& namespaceURI);

    // Whether libxml2 accepts the local name as an XML name.
    bool Valid() const;
    const std::string& GetLocalName() const { return fLocalName; }
    const std::string& GetNamespaceURI() const { return fNamespaceURI; }

    friend bool operator==(const Name& a, const Name& b)
    {
        return a.fNamespaceURI == b.fNamespaceURI && a.fLocalName == b.fLocalName;
    }

private:
    std::string fNamespaceURI;
    std::string fLocalName;
};

struct AttributePair
{
    AttributePair() = default;
    AttributePair(const UString& name, const UString& value) : fName(name), fValue(value) {}

    UString fName;
    UString fValue;
};

bool FindAttributeInList(const std::vector<AttributePair>& list, const UString& name, UString& value);
// Replaces the value of a pair of the same name, or appends the pair.
void AddAttributeToList(std::vector<AttributePair>& list, const AttributePair& pair);

// The error type the parser's and the writer's failures log.
const char* ErrType();

template <typename T>
struct AttributeMap_POD
{
    const char* fText;
    T fValue;
};

// Attribute texts and the values they stand for.
template <typename T>
class AttributeMap : public std::vector<std::pair<UString, T>>
{
public:
    template <std::size_t N>
    explicit AttributeMap(const AttributeMap_POD<T> (&entries)[N])
    {
        for (const auto& entry : entries) {
            this->emplace_back(UString(entry.fText, UString::k8Bit), entry.fValue);
        }
    }
};

// "true" and "false".
extern const AttributeMap<bool> kBoolAttribute;

class Parser
{
public:
    enum Validate
    {
        kNoValidation = 0,
        kValidate = 1
    };

    // Decides whether the element the parser has just entered is passed over.
    class Filter
    {
    public:
        virtual ~Filter() = default;
        virtual bool SkipCurrentElement() = 0;
    };

    Parser(std::istream& in, Validate validate);
    ~Parser();
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // Starts over on a new reader over the same stream, with `url` as the document's base URL.
    void Init(const char* url, Validate validate);
    void SetFilter(std::unique_ptr<Filter> filter);

    bool DownToChild();
    bool DownToChild(const Name& name);
    bool DownToChildNounexp(const Name& name);
    bool DownToReqChild(const Name& name);
    bool DownToReqChildNounexp(const Name& name);
    bool DownToReqChildren(const Name& name, bool& found);
    bool DownToReqChildrenNounexp(const Name& name, bool& found);
    // Passes over the next child, when there is one, whole.
    void Nounexp();
    void UpToParent();

    Name CurrentElement() const;
    bool ReadAttribute(const Name& name, UString& value);
    bool ReadReqAttribute(const Name& name, UString& value);
    // Every attribute of the element, names as written (prefixes included), in document order.
    bool ReadAllAttributes(std::vector<AttributePair>& list);
    UString ReadText();

    void CollectProcessingInstructions(bool collect);
    // Takes the oldest collected instruction.
    bool GetProcessingInstruction(UString& target, UString& data);

    static bool IsWhitespace(unsigned short unit);
    // Fails on a recorded reader error or a result of -1; answers `result`.
    int DoThrow(int result, const char*, int, const char*, const char*);

private:
    enum State : uint32_t
    {
        kOutside = 0,
        kEntered = 1,
        kInContent = 2,
        kEnded = 3
    };

    bool Advance(bool textMode, int& nodeType);
    bool DoDownToChild();
    int Check(int result) const;
    void Reset(bool collect);
    void RecordError(int severity, int line);
    friend class ParserErrors;

    std::istream& fStream;
    _xmlTextReader* fReader = nullptr;
    uint32_t fState = kOutside;
    int32_t fDepth = 0;
    bool fEmpty = false;
    bool fPushedBack = false;
    int64_t fErrorLevel = -1;
    uint32_t fErrorLine = 0;
    bool fCollect = false;
    std::deque<std::pair<UString, UString>> fInstructions;
    std::unique_ptr<Filter> fFilter;
};

} // namespace Pellix
