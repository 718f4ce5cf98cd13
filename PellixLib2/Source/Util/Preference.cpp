#include "Preference.h"

#include "ResourceAccess/ResourceAccess.h"
#include "UString/UStringConvertMac.h"

namespace Pellix {

struct Preference::Data
{
    explicit Data(const UString& name);
    ~Data();
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;

    // The property under `key` when it has the wanted type.
    template <typename Ref>
    Ref Get(const UString& key, CFTypeID type) const
    {
        CFTypeRef value = CFDictionaryGetValue(fDictionary, UStringToCF(key));
        return value && CFGetTypeID(value) == type ? static_cast<Ref>(value) : nullptr;
    }
    void Set(const UString& key, CFTypeRef value)
    {
        CFDictionarySetValue(fDictionary, UStringToCF(key), value);
    }

    // Whether the number under `key` converts to `value`'s type exactly.
    template <typename V>
    bool GetNumber(const UString& key, CFNumberType type, V& value) const
    {
        CFNumberRef number = Get<CFNumberRef>(key, CFNumberGetTypeID());
        return number && CFNumberGetValue(number, type, &value);
    }
    template <typename V>
    void SetNumber(const UString& key, CFNumberType type, V value)
    {
        auto_cfref<CFNumberRef> number(CFNumberCreate(nullptr, type, &value));
        Set(key, number);
    }

    auto_cfref<CFStringRef> fKey;
    auto_cfref<CFMutableDictionaryRef> fDictionary;
    auto_cfref<CFStringRef> fApplication;
};

Preference::Data::Data(const UString& name) : fKey(UStringToCF(name))
{
    UString bundleID;
    if (ResourceAccess::Instance().GetBundleID(bundleID)) {
        fApplication = UStringToCF(bundleID);
    } else {
        fApplication.reset(kCFPreferencesCurrentApplication, auto_cfref<CFStringRef>::Retain());
    }
    auto_cfref<CFPropertyListRef> stored(CFPreferencesCopyAppValue(fKey, fApplication));
    if (stored && CFGetTypeID(stored) == CFDictionaryGetTypeID()) {
        fDictionary.reset(
            CFDictionaryCreateMutableCopy(nullptr, 0, static_cast<CFDictionaryRef>(stored.get())));
    } else {
        fDictionary.reset(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                    &kCFTypeDictionaryValueCallBacks));
    }
}

Preference::Data::~Data()
{
    if (fKey && fDictionary) {
        CFPreferencesSetAppValue(fKey, fDictionary, fApplication);
        CFPreferencesAppSynchronize(fApplication);
    }
}

Preference::Preference(const UString& name) : fData(std::make_unique<Data>(name)) {}

Preference::~Preference() = default;

bool Preference::GetStringProperty(const UString& key, UString& value) const
{
    CFStringRef text = fData->Get<CFStringRef>(key, CFStringGetTypeID());
    if (!text) {
        return false;
    }
    value = CFToUString(text);
    return true;
}

void Preference::SetStringProperty(const UString& key, const UString& value)
{
    fData->Set(key, UStringToCF(value));
}

bool Preference::GetNumericProperty(const UString& key, int& value) const
{
    return fData->GetNumber(key, kCFNumberSInt32Type, value);
}

void Preference::SetNumericProperty(const UString& key, int value)
{
    fData->SetNumber(key, kCFNumberSInt32Type, value);
}

bool Preference::GetFloatProperty(const UString& key, float& value) const
{
    return fData->GetNumber(key, kCFNumberFloat32Type, value);
}

void Preference::SetFloatProperty(const UString& key, float value)
{
    fData->SetNumber(key, kCFNumberFloat32Type, value);
}

} // namespace Pellix
