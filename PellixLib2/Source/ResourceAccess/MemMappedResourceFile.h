#pragma once

// A resource file mapped read-only into memory. Its user tests the address: null when the file
// could not be found, opened or mapped. Owns the mapping and the descriptor: movable, not copyable.

#include "File/FileLocation.h"

#include <cstdint>

namespace Pellix {

class MemMappedResourceFile
{
public:
    // The resource in a subfolder of the resources, mapped for at most `maxLength` bytes.
    MemMappedResourceFile(const UString& subfolder, const UString& name, const UString& type, int maxLength);
    MemMappedResourceFile(const UString& name, const UString& type, int maxLength);
    MemMappedResourceFile(MemMappedResourceFile&& other) noexcept;
    MemMappedResourceFile& operator=(MemMappedResourceFile&& other) noexcept;
    MemMappedResourceFile(const MemMappedResourceFile&) = delete;
    MemMappedResourceFile& operator=(const MemMappedResourceFile&) = delete;
    ~MemMappedResourceFile();

    // Maps the file in place of what was mapped before.
    void Init(const FileSpecification& file, int maxLength);

    const void* GetAddress() const { return fAddress; }
    uint32_t GetLength() const { return fLength; }
    int32_t GetDescriptor() const { return fDescriptor; }

private:
    void Release();

    void* fAddress = nullptr;
    uint32_t fLength = 0;
    int32_t fDescriptor = -1;
};

} // namespace Pellix
