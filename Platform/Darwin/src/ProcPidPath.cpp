#include <libproc.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

int proc_pidpath(int pid, void* buffer, uint32_t buffersize)
{
    if (!buffer || buffersize < PROC_PIDPATHINFO_SIZE) {
        errno = EINVAL;
        return 0;
    }
    if (pid <= 0) {
        errno = ESRCH;
        return 0;
    }
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/exe", pid);
    char target[PROC_PIDPATHINFO_MAXSIZE + 16];
    ssize_t length = readlink(link, target, sizeof target);
    if (length < 0) {
        // An ended process (a zombie has no executable any more) or none at all.
        if (errno == ENOENT) {
            errno = ESRCH;
        }
        return 0;
    }
    std::string_view path(target, size_t(length));
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.substr(path.size() - kDeleted.size()) == kDeleted) {
        path.remove_suffix(kDeleted.size());
    }
    if (size_t(length) == sizeof target || path.size() >= buffersize) {
        errno = ENAMETOOLONG;
        return 0;
    }
    std::memcpy(buffer, path.data(), path.size());
    static_cast<char*>(buffer)[path.size()] = '\0';
    return int(path.size());
}
