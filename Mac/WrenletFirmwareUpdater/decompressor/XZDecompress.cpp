#include "XZDecompress.h"

#include <lzma.h>
#include <sys/mman.h>

#include <algorithm>

namespace {

constexpr size_t kCopyChunk = 1 << 20;

// Fresh zero pages from the system: what the stream does not write is never touched, and what has
// been copied out is given back.
class ZeroPages
{
public:
    explicit ZeroPages(size_t size) : fSize(size)
    {
        void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        fPages = pages == MAP_FAILED ? nullptr : static_cast<uint8_t*>(pages);
    }
    ~ZeroPages()
    {
        if (fPages) {
            munmap(fPages, fSize);
        }
    }
    ZeroPages(const ZeroPages&) = delete;
    ZeroPages& operator=(const ZeroPages&) = delete;

    uint8_t* data() const { return fPages; }

    // The first `length` bytes as a vector, releasing each piece once copied, so the decoded bytes are
    // never held twice.
    std::vector<uint8_t> moveOut(size_t length)
    {
        std::vector<uint8_t> out;
        out.reserve(length);
        for (size_t at = 0; at < length; at += kCopyChunk) {
            const size_t piece = std::min(kCopyChunk, length - at);
            out.insert(out.end(), fPages + at, fPages + at + piece);
            madvise(fPages + at, piece, MADV_DONTNEED);
        }
        return out;
    }

private:
    uint8_t* fPages = nullptr;
    size_t fSize;
};

} // namespace

std::optional<std::vector<uint8_t>> XZDecompress(std::span<const uint8_t> input, size_t outputLimit,
                                                 uint64_t memoryLimit)
{
    ZeroPages output(outputLimit);
    if (!output.data()) {
        return std::nullopt;
    }
    uint64_t limit = memoryLimit;
    size_t inPosition = 0;
    size_t outPosition = 0;
    const lzma_ret result = lzma_stream_buffer_decode(&limit, 0, nullptr, input.data(), &inPosition,
                                                      input.size(), output.data(), &outPosition, outputLimit);
    // The stream is the whole file: bytes after its end make a bad file.
    if (result != LZMA_OK || inPosition != input.size()) {
        return std::nullopt;
    }
    return output.moveOut(outPosition);
}
