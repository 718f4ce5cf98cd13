#pragma once

// The numeric IPv4 addresses of this machine's interfaces, in dotted form.

#include <string>
#include <vector>

std::vector<std::string> getMyIpAddresses();
