#include <Security/SecKey.h>

#include <CFPlatform/Object.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>

const CFStringRef kSecAttrKeyType = CFSTR("type");
const CFStringRef kSecAttrKeyTypeRSA = CFSTR("42");
const CFStringRef kSecAttrKeyTypeECSECPrimeRandom = CFSTR("73");
const CFStringRef kSecAttrKeyClass = CFSTR("kcls");
const CFStringRef kSecAttrKeyClassPublic = CFSTR("0");
const CFStringRef kSecAttrKeyClassPrivate = CFSTR("1");
const CFStringRef kSecAttrKeySizeInBits = CFSTR("bsiz");
const SecKeyAlgorithm kSecKeyAlgorithmRSASignatureMessagePKCS1v15SHA256 =
    CFSTR("algid:sign:RSA:message-PKCS1v15:SHA256");

namespace {

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

class KeyObject final : public CFPlatform::Object
{
public:
    explicit KeyObject(PKey key) : fKey(std::move(key)) {}

    static CFTypeID staticTypeID()
    {
        static const CFTypeID type = CFPlatform::registerType("SecKey");
        return type;
    }
    CFTypeID typeID() const override { return staticTypeID(); }

    EVP_PKEY* key() const { return fKey.get(); }

private:
    PKey fKey;
};

void fail(CFErrorRef* error, OSStatus status)
{
    if (error) {
        *error = CFErrorCreate(nullptr, kCFErrorDomainOSStatus, status, nullptr);
    }
}

bool attributeIs(CFDictionaryRef attributes, CFStringRef key, CFStringRef expected)
{
    const void* value = attributes ? CFDictionaryGetValue(attributes, key) : nullptr;
    return !value || CFEqual(value, expected);
}

// The RSA public key the whole buffer holds, in either DER form.
PKey parsePublicKey(const unsigned char* bytes, long length)
{
    const unsigned char* cursor = bytes;
    PKey key(d2i_PUBKEY(nullptr, &cursor, length), &EVP_PKEY_free);
    if (!key || cursor != bytes + length) {
        cursor = bytes;
        key.reset(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, length));
    }
    if (!key || cursor != bytes + length || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        key.reset();
    }
    return key;
}

} // namespace

CFTypeID SecKeyGetTypeID(void)
{
    return KeyObject::staticTypeID();
}

SecKeyRef SecKeyCreateWithData(CFDataRef keyData, CFDictionaryRef attributes, CFErrorRef* error)
{
    if (!keyData || !attributeIs(attributes, kSecAttrKeyType, kSecAttrKeyTypeRSA) ||
        !attributeIs(attributes, kSecAttrKeyClass, kSecAttrKeyClassPublic)) {
        fail(error, errSecParam);
        return nullptr;
    }
    PKey key = parsePublicKey(CFDataGetBytePtr(keyData), long(CFDataGetLength(keyData)));
    if (!key) {
        fail(error, errSecDecode);
        return nullptr;
    }
    const void* size = attributes ? CFDictionaryGetValue(attributes, kSecAttrKeySizeInBits) : nullptr;
    if (size) {
        long long bits = 0;
        if (CFGetTypeID(size) != CFNumberGetTypeID() ||
            !CFNumberGetValue(static_cast<CFNumberRef>(size), kCFNumberLongLongType, &bits) ||
            bits != EVP_PKEY_get_bits(key.get())) {
            fail(error, errSecParam);
            return nullptr;
        }
    }
    return reinterpret_cast<SecKeyRef>(static_cast<CFPlatform::Object*>(new KeyObject(std::move(key))));
}

Boolean SecKeyVerifySignature(SecKeyRef key, SecKeyAlgorithm algorithm, CFDataRef signedData,
                              CFDataRef signature, CFErrorRef* error)
{
    const KeyObject* object = CFPlatform::as<KeyObject>(key);
    if (!object || !signedData || !signature || !algorithm ||
        !CFEqual(algorithm, kSecKeyAlgorithmRSASignatureMessagePKCS1v15SHA256)) {
        fail(error, errSecParam);
        return false;
    }
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_PKEY_CTX* keyContext = nullptr;
    // A signature of another length than the modulus is refused before any arithmetic.
    const bool verified =
        context && CFDataGetLength(signature) == EVP_PKEY_get_size(object->key()) &&
        EVP_DigestVerifyInit(context.get(), &keyContext, EVP_sha256(), nullptr, object->key()) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) == 1 &&
        EVP_DigestVerify(context.get(), CFDataGetBytePtr(signature), size_t(CFDataGetLength(signature)),
                         CFDataGetBytePtr(signedData), size_t(CFDataGetLength(signedData))) == 1;
    if (!verified) {
        fail(error, errSecVerifyFailed);
    }
    return verified;
}
