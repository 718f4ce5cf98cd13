#pragma once

// Where NS::ProcessInfo takes the arguments from: the process's own command line, unless a test
// has put others in its place.

#include <optional>
#include <string>
#include <vector>

namespace Foundation {

std::vector<std::string> processArguments();
void overrideProcessArguments(std::optional<std::vector<std::string>> arguments);

} // namespace Foundation
