#include "VerifySignature.h"

#include "UpdaterPublicKey.h"

#include <AutoCFRef.h>

#include <Security/Security.h>

#include <optional>
#include <string_view>
#include <vector>

namespace {

constexpr int kKeyBits = 2048;

// Standard Base64 with padding; the key text is ours, so anything else is refused rather than repaired.
std::optional<std::vector<uint8_t>> decodeBase64(std::string_view text)
{
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    uint32_t group = 0;
    int bits = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        int value = -1;
        if (c >= 'A' && c <= 'Z') {
            value = c - 'A';
        } else if (c >= 'a' && c <= 'z') {
            value = c - 'a' + 26;
        } else if (c >= '0' && c <= '9') {
            value = c - '0' + 52;
        } else if (c == '+' || c == '/') {
            value = c == '+' ? 62 : 63;
        } else if (c == '=' && i + 2 >= text.size()) {
            continue;
        } else {
            return std::nullopt;
        }
        group = group << 6 | uint32_t(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(uint8_t(group >> bits));
        }
    }
    return bytes;
}

// The updater's key, imported once.
SecKeyRef updaterKey()
{
    static const auto_cfref<SecKeyRef> key = [] {
        const auto der = decodeBase64(kUpdaterPublicKey);
        if (!der) {
            return auto_cfref<SecKeyRef>();
        }
        int bits = kKeyBits;
        const auto_cfref<CFNumberRef> size(CFNumberCreate(nullptr, kCFNumberIntType, &bits));
        const void* keys[] = {kSecAttrKeyType, kSecAttrKeyClass, kSecAttrKeySizeInBits};
        const void* values[] = {kSecAttrKeyTypeRSA, kSecAttrKeyClassPublic, size.get()};
        const auto_cfref<CFDictionaryRef> attributes(CFDictionaryCreate(
            nullptr, keys, values, 3, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
        const auto_cfref<CFDataRef> data(CFDataCreate(nullptr, der->data(), CFIndex(der->size())));
        return auto_cfref<SecKeyRef>(SecKeyCreateWithData(data, attributes, nullptr));
    }();
    return key.get();
}

} // namespace

bool VerifySignature(const uint8_t* data, size_t length, const uint8_t* signature, size_t signatureLength)
{
    SecKeyRef key = updaterKey();
    if (!key) {
        return false;
    }
    const auto_cfref<CFDataRef> signedData(
        CFDataCreateWithBytesNoCopy(nullptr, data, CFIndex(length), kCFAllocatorNull));
    const auto_cfref<CFDataRef> signatureData(CFDataCreate(nullptr, signature, CFIndex(signatureLength)));
    return SecKeyVerifySignature(key, kSecKeyAlgorithmRSASignatureMessagePKCS1v15SHA256, signedData,
                                 signatureData, nullptr);
}
