#include "Locale/LocaleObject.h"
#include "TypedObject.h"

#include <CFPlatform/String.h>
#include <CoreFoundation/CFDateFormatter.h>

#include <mutex>
#include <string>
#include <unicode/udat.h>

namespace {

std::optional<UDateFormatStyle> icuStyle(CFDateFormatterStyle style)
{
    switch (style) {
    case kCFDateFormatterNoStyle:
        return UDAT_NONE;
    case kCFDateFormatterShortStyle:
        return UDAT_SHORT;
    case kCFDateFormatterMediumStyle:
        return UDAT_MEDIUM;
    case kCFDateFormatterLongStyle:
        return UDAT_LONG;
    case kCFDateFormatterFullStyle:
        return UDAT_FULL;
    default:
        return std::nullopt;
    }
}

class DateFormatterObject final : public CFPlatform::Object
{
public:
    explicit DateFormatterObject(UDateFormat* format) : fFormat(format) {}
    ~DateFormatterObject() override { udat_close(fFormat); }

    static CFTypeID staticTypeID()
    {
        static const CFTypeID type = CFPlatform::registerType("CFDateFormatter");
        return type;
    }
    CFTypeID typeID() const override { return staticTypeID(); }

    // ICU's formatters are not safe for concurrent use.
    std::u16string format(UDate date) const
    {
        std::lock_guard lock(fLock);
        std::u16string text(64, u'\0');
        UErrorCode status = U_ZERO_ERROR;
        int32_t length =
            udat_format(fFormat, date, text.data(), static_cast<int32_t>(text.size()), nullptr, &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            text.resize(static_cast<size_t>(length));
            status = U_ZERO_ERROR;
            length = udat_format(fFormat, date, text.data(), length, nullptr, &status);
        }
        text.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
        return text;
    }

private:
    mutable std::mutex fLock;
    UDateFormat* fFormat;
};

} // namespace

CFTypeID CFDateFormatterGetTypeID(void)
{
    return DateFormatterObject::staticTypeID();
}

CFDateFormatterRef CFDateFormatterCreate(CFAllocatorRef, CFLocaleRef locale, CFDateFormatterStyle dateStyle,
                                         CFDateFormatterStyle timeStyle)
{
    std::optional<UDateFormatStyle> date = icuStyle(dateStyle);
    std::optional<UDateFormatStyle> time = icuStyle(timeStyle);
    if (!date || !time) {
        return nullptr;
    }
    const char* identifier =
        locale ? CFPlatform::localeOf(locale, "CFDateFormatterCreate").identifier().c_str() : nullptr;
    UErrorCode status = U_ZERO_ERROR;
    // A null zone is ICU's default, the process's time zone.
    UDateFormat* format = udat_open(*time, *date, identifier, nullptr, -1, nullptr, 0, &status);
    if (U_FAILURE(status)) {
        return nullptr;
    }
    return reinterpret_cast<CFDateFormatterRef>(
        static_cast<CFPlatform::Object*>(new DateFormatterObject(format)));
}

CFStringRef CFDateFormatterCreateStringWithAbsoluteTime(CFAllocatorRef, CFDateFormatterRef formatter,
                                                        CFAbsoluteTime at)
{
    const auto& object =
        CFPlatform::objectAs<DateFormatterObject>(formatter, "CFDateFormatterCreateStringWithAbsoluteTime");
    UDate milliseconds = (at + kCFAbsoluteTimeIntervalSince1970) * 1000.0;
    return CFPlatform::createString(object.format(milliseconds));
}
