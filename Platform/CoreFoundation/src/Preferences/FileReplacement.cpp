#include <CFPlatform/FileReplacement.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace CFPlatform {

namespace {

std::atomic<bool> gFailWrites{false};

bool writeAll(int fd, std::string_view content)
{
    if (gFailWrites.load()) {
        content = content.substr(0, content.size() / 2);
    }
    while (!content.empty()) {
        ssize_t written = write(fd, content.data(), content.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return false;
        }
        content.remove_prefix(static_cast<size_t>(written));
    }
    if (gFailWrites.load()) {
        errno = ENOSPC;
        return false;
    }
    return true;
}

// Makes the rename itself durable.
void syncFolder(const std::string& folder)
{
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

} // namespace

bool replaceFileContent(const std::string& path, std::string_view content, std::string& problem)
{
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    std::string temporary = folder + "/." + name + ".XXXXXX";

    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        problem = std::strerror(errno);
        return false;
    }
    bool replaced = writeAll(fd, content) && fsync(fd) == 0;
    if (!replaced) {
        problem = std::strerror(errno);
    }
    if (close(fd) != 0 && replaced) {
        replaced = false;
        problem = std::strerror(errno);
    }
    if (replaced && rename(temporary.c_str(), path.c_str()) != 0) {
        replaced = false;
        problem = std::strerror(errno);
    }
    if (!replaced) {
        unlink(temporary.c_str());
        return false;
    }
    syncFolder(folder);
    return true;
}

void setFileReplacementFailure(bool fail)
{
    gFailWrites.store(fail);
}

} // namespace CFPlatform
