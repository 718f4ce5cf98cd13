#include "URL/MountPoints.h"

#include <fstream>
#include <mutex>
#include <sstream>

namespace CFPlatform {

namespace {

constexpr const char* kProcessMountTable = "/proc/self/mountinfo";

std::mutex gOverrideLock;
std::string gOverride;

std::string mountTableFile()
{
    std::lock_guard lock(gOverrideLock);
    return gOverride.empty() ? kProcessMountTable : gOverride;
}

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

std::string mountPointOf(const std::string& resolvedPath)
{
    std::string best = "/";
    std::ifstream table(mountTableFile());
    std::string line;
    while (std::getline(table, line)) {
        // id, parent id, major:minor, root, mount point, ...
        std::istringstream fields(line);
        std::string id, parent, device, root, field;
        if (!(fields >> id >> parent >> device >> root >> field)) {
            continue;
        }
        std::string mountPoint = decodeOctalEscapes(field);
        if (contains(mountPoint, resolvedPath) && mountPoint.size() > best.size()) {
            best = std::move(mountPoint);
        }
    }
    return best;
}

void setMountTableOverride(std::string file)
{
    std::lock_guard lock(gOverrideLock);
    gOverride = std::move(file);
}

} // namespace CFPlatform
