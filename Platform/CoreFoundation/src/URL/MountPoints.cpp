#include "URL/MountPoints.h"

#include <fstream>
#include <sstream>

namespace CFPlatform {

namespace {

// Mount points in the table write a blank, tab, newline and backslash as \ooo.
std::string decodeOctalEscapes(const std::string& field)
{
    std::string result;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
            field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
            result += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                        (field[i + 3] - '0'));
            i += 3;
        } else {
            result += field[i];
        }
    }
    return result;
}

bool contains(const std::string& mountPoint, const std::string& path)
{
    if (mountPoint == "/") {
        return path.starts_with('/');
    }
    return path.starts_with(mountPoint) &&
           (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}

} // namespace

std::optional<std::string> mountPointOf(const std::string& resolvedPath)
{
    std::ifstream table("/proc/self/mountinfo");
    if (!table) {
        return std::nullopt;
    }
    std::optional<std::string> best;
    std::string line;
    while (std::getline(table, line)) {
        // id, parent id, major:minor, root, mount point, ...
        std::istringstream fields(line);
        std::string id, parent, device, root, field;
        if (!(fields >> id >> parent >> device >> root >> field)) {
            continue;
        }
        std::string mountPoint = decodeOctalEscapes(field);
        if (contains(mountPoint, resolvedPath) && (!best || mountPoint.size() > best->size())) {
            best = std::move(mountPoint);
        }
    }
    return best;
}

} // namespace CFPlatform
