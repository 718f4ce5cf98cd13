#include "VorkError.h"

#include <os/log.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

namespace Pellix {

namespace {

constexpr const char* kMacOSKind = "OS";
constexpr const char* kUnknownExceptionKind = "Unknown Exception";
constexpr int kUnknownExceptionCode = 1;
constexpr OSErr kUnconvertibleZero = -128;
constexpr OSErr kUnconvertibleCode = 32767;

// Copies at most the field's width and forces its last character to zero. A null text is empty.
template <std::size_t N>
void copyText(char (&field)[N], const char* text)
{
    std::strncpy(field, text ? text : "", N);
    field[N - 1] = 0;
}

template <std::size_t N>
void formatText(char (&field)[N], const char* text, int value)
{
    std::snprintf(field, N, "%s %i", text ? text : "", value);
}

template <std::size_t N>
std::array<char, N> copyOf(const char (&field)[N])
{
    std::array<char, N> copy;
    std::copy(std::begin(field), std::end(field), copy.begin());
    return copy;
}

template <std::size_t N>
bool sameText(const char (&a)[N], const char (&b)[N])
{
    return std::strncmp(a, b, N) == 0;
}

OSErr lowBits(int32_t code)
{
    return static_cast<OSErr>(static_cast<uint16_t>(code));
}

} // namespace

VorkError::VorkError() : VorkError(0) {}

VorkError::VorkError(int code) : VorkError(kMacOSKind, "", "", code, "", std::nullopt) {}

VorkError::VorkError(int code, const char* text, int value)
    : VorkError(kMacOSKind, "", "", code, text, value, std::nullopt)
{}

VorkError::VorkError(const char* kind, const char* system, const char* subsystem, int code,
                     const char* message, const std::optional<UString>& attachment)
    : fCode(code), fAttachment(attachment)
{
    copyText(fKind, kind);
    copyText(fSystem, system);
    copyText(fSubsystem, subsystem);
    copyText(fErrorString, message);
}

VorkError::VorkError(const char* kind, const char* system, const char* subsystem, int code,
                     const char* message, int value, const std::optional<UString>& attachment)
    : fCode(code), fAttachment(attachment)
{
    copyText(fKind, kind);
    copyText(fSystem, system);
    copyText(fSubsystem, subsystem);
    formatText(fErrorString, message, value);
}

VorkError::ShortText VorkError::MacOSKind()
{
    ShortText kind{};
    std::strcpy(kind.data(), kMacOSKind);
    return kind;
}

VorkError::ShortText VorkError::UnknownExceptionKind()
{
    ShortText kind{};
    std::strcpy(kind.data(), kUnknownExceptionKind);
    return kind;
}

bool VorkError::IsMacOSError() const
{
    return std::strcmp(fKind, kMacOSKind) == 0;
}

bool VorkError::IsMacOSError(int code) const
{
    return fCode == code && IsMacOSError();
}

OSErr VorkError::GetMacOSErrorCode() const
{
    if (IsMacOSError()) {
        return lowBits(fCode);
    }
    os_log(OS_LOG_DEFAULT, "Non-MacOS error converted to mOSErr - information may be lost");
    if (fCode == 0) {
        return kUnconvertibleZero;
    }
    // 0 and -128 would read as success and as the converted zero.
    const OSErr low = lowBits(fCode);
    return low == 0 || low == kUnconvertibleZero ? kUnconvertibleCode : low;
}

VorkError::ShortText VorkError::GetKind() const
{
    return copyOf(fKind);
}

VorkError::ShortText VorkError::GetSystem() const
{
    return copyOf(fSystem);
}

VorkError::ShortText VorkError::GetSubsystem() const
{
    return copyOf(fSubsystem);
}

VorkError::LongText VorkError::GetOptionalErrorString() const
{
    return copyOf(fErrorString);
}

bool VorkError::operator==(const VorkError& other) const
{
    return sameText(fKind, other.fKind) && sameText(fSystem, other.fSystem) &&
           sameText(fSubsystem, other.fSubsystem) && fCode == other.fCode &&
           sameText(fErrorString, other.fErrorString);
}

bool VorkError::GetErrorDescription(CodeTranslator& fallback, UString& first, UString& second) const
{
    const auto& translators = GetTranslatorList();
    for (auto it = translators.rbegin(); it != translators.rend(); ++it) {
        try {
            if ((*it)->CanTranslate(*this)) {
                return (*it)->Translate(*this, first, second);
            }
        } catch (...) {
            if (os_log_type_enabled(OS_LOG_DEFAULT, OS_LOG_TYPE_DEFAULT)) {
                os_log(OS_LOG_DEFAULT, "An exception was thrown while translating this error!");
            }
        }
    }
    // The fallback answers whatever it says it can translate.
    fallback.CanTranslate(*this);
    return fallback.Translate(*this, first, second);
}

void VorkError::AddTranslator(CodeTranslator* translator)
{
    GetTranslatorList().push_back(translator);
}

void VorkError::RemoveTranslator(CodeTranslator* translator)
{
    auto& translators = GetTranslatorList();
    const auto it = std::find(translators.begin(), translators.end(), translator);
    if (it != translators.end()) {
        translators.erase(it);
    }
}

std::vector<VorkError::CodeTranslator*>& VorkError::GetTranslatorList()
{
    static std::vector<CodeTranslator*> sTranslators;
    return sTranslators;
}

VorkError VorkError::GetCurrentError(bool log)
{
    try {
        throw;
    } catch (const VorkError& error) {
        return error;
    } catch (const std::exception& e) {
        if (log) {
            os_log(OS_LOG_DEFAULT, "Caught an unexpected std::exception");
        }
        return VorkError(kUnknownExceptionKind, "VorkError", "", kUnknownExceptionCode, e.what(),
                         std::nullopt);
    } catch (...) {
        if (log) {
            os_log(OS_LOG_DEFAULT, "Caught an unexpected unknown exception type");
        }
        return VorkError(kUnknownExceptionKind, "VorkError", "", kUnknownExceptionCode,
                         "not a std::exception", std::nullopt);
    }
}

} // namespace Pellix
