#include <CoreGraphics/CGDataProvider.h>

#include <CFPlatform/Object.h>

#include "DataProviderCalls.h"

#include <atomic>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace CGPlatform {

namespace {

std::atomic<unsigned long> gDataCopies{0};

class FileDataProvider final : public CFPlatform::Object
{
public:
    explicit FileDataProvider(std::string path) : fPath(std::move(path)) {}

    static CFTypeID staticTypeID()
    {
        static const CFTypeID type = CFPlatform::registerType("CGDataProvider");
        return type;
    }
    CFTypeID typeID() const override { return staticTypeID(); }

    const std::string& path() const { return fPath; }

private:
    std::string fPath;
};

// The whole regular file, or nothing.
bool readFile(const std::string& path, std::vector<UInt8>& bytes)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat status;
    bool ok = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    UInt8 chunk[65536];
    while (ok) {
        ssize_t count = read(fd, chunk, sizeof chunk);
        if (count == 0) {
            break;
        }
        if (count < 0) {
            ok = errno == EINTR;
            continue;
        }
        bytes.insert(bytes.end(), chunk, chunk + count);
    }
    close(fd);
    return ok;
}

} // namespace

unsigned long dataCopyCount()
{
    return gDataCopies.load();
}

} // namespace CGPlatform

CGDataProviderRef CGDataProviderCreateWithURL(CFURLRef url)
{
    char path[4096];
    if (!url || !CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8*>(path), sizeof path)) {
        return nullptr;
    }
    auto* provider = new CGPlatform::FileDataProvider(path);
    return reinterpret_cast<CGDataProviderRef>(static_cast<CFPlatform::Object*>(provider));
}

CFDataRef CGDataProviderCopyData(CGDataProviderRef provider)
{
    const auto* file = CFPlatform::as<CGPlatform::FileDataProvider>(provider);
    if (!file) {
        CFPlatform::fatal("CGDataProviderCopyData", "not a data provider");
    }
    CGPlatform::gDataCopies.fetch_add(1);
    std::vector<UInt8> bytes;
    if (!CGPlatform::readFile(file->path(), bytes)) {
        return nullptr;
    }
    return CFDataCreate(nullptr, bytes.data(), static_cast<CFIndex>(bytes.size()));
}

void CGDataProviderRelease(CGDataProviderRef provider)
{
    if (provider) {
        CFRelease(provider);
    }
}
