// Firmware files from outside, through the updater's unpacking with the build's key. The first byte
// picks the form: 0, a raw file (xz and all); 1, a decoded container, so the layout and signature
// checks are reached without the xz layer; 2, a container from byte 256 on that this target signs with
// the build's private key, so the code behind a good signature is reached. A container counts as
// verified only when its signature does, and its sections lie within it.

#include "UnpackFirmware.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "wrenlet_container: %s\n", what);
    std::abort();
}

EVP_PKEY* privateKey()
{
    static EVP_PKEY* key = [] {
        FILE* file = std::fopen(WRENLET_PRIVATE_KEY, "r");
        if (!file) {
            fail("the build's private key is missing");
        }
        EVP_PKEY* loaded = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
        std::fclose(file);
        return loaded;
    }();
    return key;
}

std::vector<uint8_t> signedContainer(const uint8_t* body, size_t size)
{
    std::vector<uint8_t> container(256);
    container.insert(container.end(), body, body + size);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    size_t length = 256;
    if (EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, privateKey()) != 1 ||
        EVP_DigestSign(context, container.data(), &length, body, size) != 1) {
        fail("signing failed");
    }
    EVP_MD_CTX_free(context);
    return container;
}

void checkVerified(const UnpackOutcome& outcome, bool signedHere)
{
    const auto* verified = std::get_if<UnpackResult::Verified>(&outcome);
    if (!verified) {
        return;
    }
    if (!signedHere) {
        fail("a container verified that this target did not sign");
    }
    for (int n = 1; n <= 4; ++n) {
        // Reading every section byte lets the sanitizer see a section outside the container.
        volatile uint8_t sum = 0;
        for (const uint8_t byte : verified->container->Section(n)) {
            sum = uint8_t(sum + byte);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const uint8_t form = data[0];
    ++data;
    --size;
    if (form == 0) {
        checkVerified(UnpackFirmware({data, size}), false);
    } else if (form == 1) {
        checkVerified(CheckContainer(std::make_shared<const std::vector<uint8_t>>(data, data + size)), false);
    } else if (form == 2) {
        checkVerified(
            CheckContainer(std::make_shared<const std::vector<uint8_t>>(signedContainer(data, size))), true);
    }
    return 0;
}
