#pragma once

// The root of the Foundation and AppKit classes: reference counted, created with a count of one
// and destroyed by the release that takes the count to zero, on the releasing thread.

#include <atomic>

namespace NS {

class Object
{
public:
    Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    Object* retain();
    void release();
    unsigned long retainCount() const;

protected:
    virtual ~Object();

private:
    std::atomic<unsigned long> fRetainCount{1};
};

} // namespace NS
