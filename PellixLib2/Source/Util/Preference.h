#pragma once

// One named preference of the application: a dictionary of string, integer and floating-point
// properties, read when the object is made and written back and synchronised when it is destroyed.
// Two objects of one name are independent copies: the one destroyed last wins.

#include "UString/UString.h"

#include <memory>

namespace Pellix {

class Preference
{
public:
    explicit Preference(const UString& name);
    virtual ~Preference();
    Preference(const Preference&) = delete;
    Preference& operator=(const Preference&) = delete;

    bool GetStringProperty(const UString& key, UString& value) const;
    void SetStringProperty(const UString& key, const UString& value);
    // False for a missing key, another type or a number that does not convert exactly (`value` then
    // holds it truncated).
    bool GetNumericProperty(const UString& key, int& value) const;
    void SetNumericProperty(const UString& key, int value);
    bool GetFloatProperty(const UString& key, float& value) const;
    void SetFloatProperty(const UString& key, float value);

private:
    struct Data;
    std::unique_ptr<Data> fData;
};

} // namespace Pellix
