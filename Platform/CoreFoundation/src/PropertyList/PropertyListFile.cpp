#include "PropertyList/PropertyListFile.h"

#include "PropertyList/Limits.h"
#include "PropertyList/XmlReader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace CFPlatform {

namespace {

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : fFd(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor()
    {
        if (fFd >= 0) {
            close(fFd);
        }
    }
    int get() const { return fFd; }

private:
    int fFd;
};

} // namespace

FileReadResult readPropertyListFile(const std::string& path, CFPropertyListRef& plist, std::string& problem)
{
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        if (errno == ENOENT) {
            return FileReadResult::Missing;
        }
        problem = std::strerror(errno);
        return FileReadResult::Failed;
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t count = read(file.get(), buffer, sizeof(buffer));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            problem = std::strerror(errno);
            return FileReadResult::Failed;
        }
        if (count == 0) {
            break;
        }
        bytes.append(buffer, static_cast<size_t>(count));
        if (bytes.size() > kMaxPropertyListBytes) {
            problem = "the file is too large";
            return FileReadResult::Failed;
        }
    }
    plist = readXmlPropertyList(reinterpret_cast<const UInt8*>(bytes.data()), bytes.size(),
                                kCFPropertyListImmutable, problem);
    return plist ? FileReadResult::Read : FileReadResult::Failed;
}

} // namespace CFPlatform
