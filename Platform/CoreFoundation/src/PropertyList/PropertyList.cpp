// Reading and writing property lists: the XML format only.

#include "PropertyList/XmlReader.h"
#include "PropertyList/XmlWriter.h"
#include "URL/ErrorReport.h"

CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef, CFDataRef data, CFOptionFlags options,
                                               CFPropertyListFormat* format, CFErrorRef* error)
{
    if (!data) {
        CFPlatform::reportError(error, kCFErrorDomainCocoa, kCFPropertyListReadCorruptError, "no data");
        return nullptr;
    }
    std::string problem;
    CFPropertyListRef plist = CFPlatform::readXmlPropertyList(
        CFDataGetBytePtr(data), static_cast<size_t>(CFDataGetLength(data)), options, problem);
    if (!plist) {
        CFPlatform::reportError(error, kCFErrorDomainCocoa, kCFPropertyListReadCorruptError, problem.c_str());
        return nullptr;
    }
    if (format) {
        *format = kCFPropertyListXMLFormat_v1_0;
    }
    return plist;
}

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef propertyList,
                                   CFPropertyListFormat format, CFOptionFlags, CFErrorRef* error)
{
    if (format != kCFPropertyListXMLFormat_v1_0) {
        CFPlatform::reportError(error, kCFErrorDomainCocoa, kCFPropertyListWriteStreamError,
                                "only the XML format is written");
        return nullptr;
    }
    std::string problem;
    std::optional<std::string> document = CFPlatform::writeXmlPropertyList(propertyList, problem);
    if (!document) {
        CFPlatform::reportError(error, kCFErrorDomainCocoa, kCFPropertyListWriteStreamError, problem.c_str());
        return nullptr;
    }
    return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(document->data()),
                        static_cast<CFIndex>(document->size()));
}
