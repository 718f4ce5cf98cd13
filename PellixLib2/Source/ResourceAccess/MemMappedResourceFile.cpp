#include "MemMappedResourceFile.h"

#include "ResourceAccess.h"

#include <os/log.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace Pellix {

MemMappedResourceFile::MemMappedResourceFile(const UString& subfolder, const UString& name,
                                             const UString& type, int maxLength)
{
    Init(ResourceAccess::Instance().GetFile(name, type, subfolder), maxLength);
}

MemMappedResourceFile::MemMappedResourceFile(const UString& name, const UString& type, int maxLength)
{
    Init(ResourceAccess::Instance().GetFile(name, type), maxLength);
}

MemMappedResourceFile::MemMappedResourceFile(MemMappedResourceFile&& other) noexcept
    : fAddress(std::exchange(other.fAddress, nullptr)), fLength(std::exchange(other.fLength, 0)),
      fDescriptor(std::exchange(other.fDescriptor, -1))
{}

MemMappedResourceFile& MemMappedResourceFile::operator=(MemMappedResourceFile&& other) noexcept
{
    if (this != &other) {
        Release();
        fAddress = std::exchange(other.fAddress, nullptr);
        fLength = std::exchange(other.fLength, 0);
        fDescriptor = std::exchange(other.fDescriptor, -1);
    }
    return *this;
}

MemMappedResourceFile::~MemMappedResourceFile()
{
    Release();
}

void MemMappedResourceFile::Release()
{
    if (fAddress) {
        munmap(fAddress, fLength);
    }
    if (fDescriptor != -1) {
        close(fDescriptor);
    }
    fAddress = nullptr;
    fLength = 0;
    fDescriptor = -1;
}

void MemMappedResourceFile::Init(const FileSpecification& file, int maxLength)
{
    Release();
    if (!file.Exists() || !file.IsValid()) {
        return;
    }
    fDescriptor = open(file.GetPOSIXPath().c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (fDescriptor == -1 || fstat(fDescriptor, &status) != 0) {
        return;
    }
    fLength =
        static_cast<uint32_t>(std::clamp<off_t>(std::min<off_t>(status.st_size, maxLength), 0, UINT32_MAX));
    void* address = mmap(nullptr, fLength, PROT_READ, MAP_SHARED, fDescriptor, 0);
    if (address == MAP_FAILED) {
        os_log(OS_LOG_DEFAULT, "Error %d returned from mmap", errno);
        return;
    }
    fAddress = address;
}

} // namespace Pellix
