#pragma once

// The root of the kernel's object family: reference counted, created with one reference; the last
// release calls free(), which subclasses override and end with their superclass's free(). A release
// of an object that has no reference left ends the process, naming the class.

#include <libkern/c++/OSMetaClass.h>

inline namespace kernel {

class OSObject
{
public:
    static const OSMetaClass gMetaClass;
    virtual const OSMetaClass* getMetaClass() const;

    OSObject();
    OSObject(const OSObject&) = delete;
    OSObject& operator=(const OSObject&) = delete;

    virtual bool init();
    virtual void free();

    virtual void retain() const;
    virtual void release() const;
    int getRetainCount() const;

protected:
    virtual ~OSObject();

private:
    mutable std::atomic<int32_t> fRetainCount{1};
};

} // namespace kernel

#define OSDynamicCast(type, object) (dynamic_cast<type*>(object))
#define OSTypeID(type) (&type::gMetaClass)

#define OSSafeReleaseNULL(object)                                                                            \
    do {                                                                                                     \
        if (object) {                                                                                        \
            (object)->release();                                                                             \
            (object) = nullptr;                                                                              \
        }                                                                                                    \
    } while (0)
