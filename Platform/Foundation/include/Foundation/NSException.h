#pragma once

// A framework exception, thrown as a C++ exception where the platform raises one.

#include <stdexcept>
#include <string>

namespace NS {

class Exception : public std::runtime_error
{
public:
    Exception(std::string name, const std::string& reason)
        : std::runtime_error(reason), fName(std::move(name))
    {}

    const std::string& name() const { return fName; }
    std::string reason() const { return what(); }

private:
    std::string fName;
};

} // namespace NS
