#pragma once

// While it exists, NS::ProcessInfo answers these arguments instead of the process's own.

#include <string>
#include <vector>

namespace FoundationTesting {

class Arguments
{
public:
    explicit Arguments(std::vector<std::string> arguments);
    ~Arguments();
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;
};

} // namespace FoundationTesting
