#pragma once

// Writes one XML document into a stream through the libxml2 text writer, one element per line,
// nested elements indented by a tab per level, text-only elements on one line. Failures log a
// FailString line and throw a bare int -50; text that would make the document unreadable (a
// character XML does not allow, "--" in a comment, "?>" in an instruction) is refused before it is
// written, as is an attribute name that is no XML name.

#include "XMLParser.h"

#include <memory>
#include <ostream>
#include <stack>
#include <vector>

struct _xmlTextWriter;

namespace Pellix {

class Writer
{
public:
    // 0 lays elements out on indented lines; any other value writes them inline.
    using Mode = int;
    static constexpr Mode kIndented = 0;

    Writer(std::ostream& out, const Name& root, const UString& publicId, const UString& systemId);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void WriteDTD(const Name& root, const UString& publicId, const UString& systemId);
    void NewLine();
    void StartElement(const Name& name);
    void EndElement(const Name& name);
    void Element(const Name& name);
    void Element(const Name& name, const UString& text);
    void Element(const Name& name, const Name& attribute, const UString& value);
    void Write(const UString& text);
    void Attribute(const Name& name, const UString& value);
    void Comment(const UString& text);
    void ProcessingInstruction(const Name& target, const UString& data);

    void SetMode(Mode mode);
    // Undoes the last SetMode; the initial mode stays.
    void ResetMode();
    Mode GetCurrentMode() const { return fModes.top(); }

    void Indent() { ++fIndentCount; }
    void Unindent() { --fIndentCount; }
    int GetIndentCount() const { return fIndentCount; }

private:
    void Check(int result, int line) const;
    void CheckText(const UString& text) const;
    bool Indented() const { return GetCurrentMode() == kIndented; }

    _xmlTextWriter* fWriter = nullptr;
    std::ostream& fStream;
    std::stack<Mode, std::vector<Mode>> fModes;
    int32_t fIndentCount = 0;
    bool fCloseOnNewLine = false;
};

} // namespace Pellix
