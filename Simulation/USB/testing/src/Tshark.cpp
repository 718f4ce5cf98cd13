#include <SimUSBTesting/Tshark.h>

#include <cstdio>

namespace SimUSBTesting {

std::vector<std::string> tshark(const std::string& path, const std::string& arguments)
{
    std::vector<std::string> lines;
    FILE* pipe = popen(("tshark -r '" + path + "' " + arguments + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) {
        return lines;
    }
    char buffer[4096];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr) {
        std::string line(buffer);
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    pclose(pipe);
    return lines;
}

} // namespace SimUSBTesting
