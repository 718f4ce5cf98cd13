#pragma once

// The string operations of the toll-free NS::String (a CFStringRef). Functions named "create" or
// answering a new string hand it over: the caller releases it.

#include <Foundation/NSData.h>
#include <Foundation/NSTypes.h>

#include <string>
#include <string_view>

namespace NS {

enum StringEncoding : unsigned long
{
    UTF8StringEncoding = 4,
    // UTF-16 in the order the byte-order mark gives; files without a mark are refused.
    UnicodeStringEncoding = 10,
};

// NULL when the bytes are not well-formed UTF-8. U+0000 is kept.
String createStringWithUTF8(std::string_view utf8);
// A new string of the C string's text; NULL when the encoding is not UTF-8 or the text is not
// well-formed in it.
String stringWithCString(const char* text, StringEncoding encoding);
// All of the string's text as UTF-8 bytes, U+0000 included; empty for NULL.
std::string UTF8String(String string);
// In UTF-16 units.
CFIndex length(String string);

bool isEqualToString(String string, String other);
bool hasPrefix(String string, String prefix);
bool containsString(String string, String other);
// From a UTF-16 index to the end; an index past the end is a range error (NS::Exception).
String substringFromIndex(String string, CFIndex index);
String stringByAppendingString(String string, String other);
// The format's "%s" take C strings and "%@" strings, in order; "%%" is a percent sign.
String stringWithFormat(const char* format, ...);

// NULL when the string holds an unpaired surrogate or the encoding is not UTF-8.
Data* dataUsingEncoding(String string, StringEncoding encoding);

// The file's text, or NULL with `error` (when given) set to a new error the caller releases.
String stringWithContentsOfFile(String path, StringEncoding encoding, Error* error);
// With `atomically`, a reader sees the old file or the new one, never a part, and a failure leaves
// the old file. Text the encoding cannot carry fails before anything is written.
bool writeToFile(String string, String path, bool atomically, StringEncoding encoding, Error* error);

// Characters a URL query keeps as they are: ALPHA, DIGIT and -._~!$&'()*+,;=:@/?
class CharacterSet
{
public:
    static const CharacterSet& URLQueryAllowedCharacterSet();
    bool contains(unsigned char byte) const;

private:
    CharacterSet() = default;
};

// Every UTF-8 byte outside the set becomes "%" and two upper-case hex digits. NULL when the string
// holds an unpaired surrogate.
String stringByAddingPercentEncodingWithAllowedCharacters(String string, const CharacterSet& allowed);
// The same on UTF-8 bytes, for callers that build text from it.
std::string percentEncoded(std::string_view utf8, const CharacterSet& allowed);

} // namespace NS
