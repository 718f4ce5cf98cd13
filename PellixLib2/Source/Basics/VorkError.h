#pragma once

// The library's exception, thrown and caught by value. Its texts have fixed widths: kind, system
// and subsystem keep at most 63 characters, the message at most 255.

#include "UString/UString.h"

#include <CoreServices/CoreServices.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace Pellix {

class VorkError
{
public:
    using ShortText = std::array<char, 64>;
    using LongText = std::array<char, 256>;

    // Turns an error into two readable texts. The list of translators does not own them.
    class CodeTranslator
    {
    public:
        virtual ~CodeTranslator() = default;
        virtual bool CanTranslate(const VorkError& error) = 0;
        virtual bool Translate(const VorkError& error, UString& first, UString& second) = 0;
    };

    // Kind "OS", code 0.
    VorkError();
    // Kind "OS".
    explicit VorkError(int code);
    // Kind "OS", the message "%s %i" of text and value.
    VorkError(int code, const char* text, int value);
    VorkError(const char* kind, const char* system, const char* subsystem, int code, const char* message,
              const std::optional<UString>& attachment);
    // The message "%s %i" of message and value.
    VorkError(const char* kind, const char* system, const char* subsystem, int code, const char* message,
              int value, const std::optional<UString>& attachment);

    static ShortText MacOSKind();
    static ShortText UnknownExceptionKind();

    bool IsMacOSError() const;
    bool IsMacOSError(int code) const;
    // The code as a Mac OS status. Another kind's code is logged as converted with loss: 0 becomes
    // -128, low 16 bits of 0 or -128 become 32767, else the low 16 bits.
    OSErr GetMacOSErrorCode() const;
    int GetErrorCode() const { return fCode; }
    ShortText GetKind() const;
    ShortText GetSystem() const;
    ShortText GetSubsystem() const;
    LongText GetOptionalErrorString() const;
    const std::optional<UString>& GetAttachment() const { return fAttachment; }

    // Kind, system, subsystem, code and message; not the attachment.
    bool operator==(const VorkError& other) const;

    // Asks the translators, the most recently added first, skipping any that throws; when none
    // takes the error, the fallback's Translate answers (and may throw).
    bool GetErrorDescription(CodeTranslator& fallback, UString& first, UString& second) const;
    static void AddTranslator(CodeTranslator* translator);
    // Removes the first occurrence.
    static void RemoveTranslator(CodeTranslator* translator);
    static std::vector<CodeTranslator*>& GetTranslatorList();

    // Called inside a handler: the exception being handled as a VorkError. Others become kind
    // "Unknown Exception", system "VorkError", code 1, with what() or "not a std::exception" as
    // message.
    static VorkError GetCurrentError(bool log);

private:
    char fKind[64];
    char fSystem[64];
    char fSubsystem[64];
    int32_t fCode;
    char fErrorString[256];
    std::optional<UString> fAttachment;
};

} // namespace Pellix
