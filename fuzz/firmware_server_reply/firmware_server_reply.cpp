// The firmware server's info document from outside, with status 200: it names no image, or exactly
// one whose URL begins with "https://".

#include "InfoDocument.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<uint8_t> body(data, data + size);
    const auto image = ImageURLFromInfo(200, body);
    if (image && image->rfind("https://", 0) != 0) {
        std::fprintf(stderr, "firmware_server_reply: an image outside https\n");
        std::abort();
    }
    if (ImageURLFromInfo(404, body)) {
        std::fprintf(stderr, "firmware_server_reply: an image from a failed reply\n");
        std::abort();
    }
    return 0;
}
