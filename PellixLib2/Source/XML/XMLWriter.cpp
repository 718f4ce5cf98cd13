#include "XMLWriter.h"

#include "XMLFailure.h"
#include "XMLText.h"

#include <libxml/xmlIO.h>
#include <libxml/xmlwriter.h>

#include <algorithm>
#include <new>
#include <string>

namespace Pellix {

namespace {

constexpr const char* kSourceFile = "PellixLib2/Source/XML/XMLWriter";

const UString kSpace(' ');
const UString kSpaceEncoding("XML_SPACE_ENCODE", UString::k8Bit);

int WriteToStream(void* context, const char* buffer, int length)
{
    auto* out = static_cast<std::ostream*>(context);
    out->write(buffer, length);
    // libxml2 keeps a short write's bytes and does not report it: a refusal must be an error.
    return out->fail() ? -1 : length;
}

const xmlChar* AsXmlChars(const std::string& text)
{
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

const xmlChar* OrNull(const std::string& text)
{
    return text.empty() ? nullptr : AsXmlChars(text);
}

} // namespace

Writer::Writer(std::ostream& out, const Name& root, const UString& publicId, const UString& systemId)
    : fStream(out)
{
    xmlOutputBufferPtr buffer = xmlOutputBufferCreateIO(WriteToStream, nullptr, &fStream, nullptr);
    if (!buffer) {
        throw std::bad_alloc();
    }
    fWriter = xmlNewTextWriter(buffer);
    if (!fWriter) {
        xmlOutputBufferClose(buffer);
        throw std::bad_alloc();
    }
    fModes.push(kIndented);
    try {
        Check(xmlTextWriterStartDocument(fWriter, nullptr, "UTF-8", nullptr), __LINE__);
        NewLine();
        if (!root.GetLocalName().empty() || !root.GetNamespaceURI().empty()) {
            WriteDTD(root, publicId, systemId);
        }
    } catch (...) {
        xmlFreeTextWriter(fWriter);
        throw;
    }
    fIndentCount = 0;
    fCloseOnNewLine = false;
}

Writer::~Writer()
{
    xmlFreeTextWriter(fWriter);
}

void Writer::Check(int result, int line) const
{
    if (result == -1) {
        FailStringError(ErrType(), kSourceFile, line);
    }
}

void Writer::CheckText(const UString& text) const
{
    if (!IsXMLText(text)) {
        FailStringError(ErrType(), kSourceFile, __LINE__);
    }
}

void Writer::WriteDTD(const Name& root, const UString& publicId, const UString& systemId)
{
    CheckText(publicId);
    CheckText(systemId);
    std::string publicText = publicId.utf8_str();
    std::string systemText = systemId.utf8_str();
    Check(xmlTextWriterWriteDTD(fWriter, AsXmlChars(root.GetLocalName()), OrNull(publicText),
                                OrNull(systemText), nullptr),
          __LINE__);
    NewLine();
}

void Writer::NewLine()
{
    fCloseOnNewLine = true;
    std::string line = "\n" + std::string(static_cast<std::size_t>(std::max(fIndentCount, 0)), '\t');
    Check(xmlTextWriterWriteRaw(fWriter, AsXmlChars(line)), __LINE__);
}

void Writer::StartElement(const Name& name)
{
    if (Indented()) {
        NewLine();
    }
    Check(xmlTextWriterStartElement(fWriter, AsXmlChars(name.GetLocalName())), __LINE__);
    fCloseOnNewLine = false;
    if (Indented()) {
        ++fIndentCount;
    }
}

void Writer::EndElement(const Name&)
{
    if (Indented()) {
        --fIndentCount;
        if (fCloseOnNewLine) {
            NewLine();
        }
    }
    Check(xmlTextWriterEndElement(fWriter), __LINE__);
    if (Indented()) {
        fCloseOnNewLine = true;
    }
}

void Writer::Element(const Name& name)
{
    StartElement(name);
    EndElement(name);
}

void Writer::Element(const Name& name, const UString& text)
{
    StartElement(name);
    Write(text);
    EndElement(name);
}

void Writer::Element(const Name& name, const Name& attribute, const UString& value)
{
    StartElement(name);
    Attribute(attribute, value);
    EndElement(name);
}

void Writer::Write(const UString& text)
{
    CheckText(text);
    std::string bytes = (text == kSpace ? kSpaceEncoding : text).utf8_str();
    Check(xmlTextWriterWriteString(fWriter, AsXmlChars(bytes)), __LINE__);
}

void Writer::Attribute(const Name& name, const UString& value)
{
    if (!name.Valid()) {
        FailStringError(ErrType(), kSourceFile, __LINE__);
    }
    CheckText(value);
    std::string bytes = value.utf8_str();
    Check(xmlTextWriterWriteAttribute(fWriter, AsXmlChars(name.GetLocalName()), AsXmlChars(bytes)), __LINE__);
}

void Writer::Comment(const UString& text)
{
    CheckText(text);
    if (text.find(UString("--", UString::k8Bit)) != UString::npos ||
        (!text.empty() && text[text.size() - 1] == '-')) {
        FailStringError(ErrType(), kSourceFile, __LINE__);
    }
    std::string bytes = text.utf8_str();
    Check(xmlTextWriterWriteComment(fWriter, AsXmlChars(bytes)), __LINE__);
}

void Writer::ProcessingInstruction(const Name& target, const UString& data)
{
    CheckText(data);
    if (data.find(UString("?>", UString::k8Bit)) != UString::npos) {
        FailStringError(ErrType(), kSourceFile, __LINE__);
    }
    std::string bytes = data.utf8_str();
    Check(xmlTextWriterWritePI(fWriter, AsXmlChars(target.GetLocalName()), AsXmlChars(bytes)), __LINE__);
}

void Writer::SetMode(Mode mode)
{
    fModes.push(mode);
}

void Writer::ResetMode()
{
    if (fModes.size() > 1) {
        fModes.pop();
    }
}

} // namespace Pellix
