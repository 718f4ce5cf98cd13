#pragma once

// Reading a bus capture back through tshark, as a user looking at it would.

#include <string>
#include <vector>

namespace SimUSBTesting {

// The lines tshark prints for the capture at `path` with `arguments`; none when it cannot run.
std::vector<std::string> tshark(const std::string& path, const std::string& arguments);

} // namespace SimUSBTesting
