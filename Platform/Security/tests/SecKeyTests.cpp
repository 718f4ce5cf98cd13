#include <Security/Security.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Keys and signatures made by the openssl command and by python3-cryptography, the peers.
class SecKeyTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/seckey-test-XXXXXX";
        sDirectory = mkdtemp(pattern);
        write("message", Bytes{'f', 'i', 'r', 'm', 'w', 'a', 'r', 'e'});
        shell("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out rsa.pem");
        shell("openssl pkey -in rsa.pem -pubout -outform DER -out rsa.spki");
        shell("openssl rsa -in rsa.pem -RSAPublicKey_out -outform DER -out rsa.pkcs1");
        shell("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:4096 -out rsa4096.pem");
        shell("openssl pkey -in rsa4096.pem -pubout -outform DER -out rsa4096.spki");
        shell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.pem");
        shell("openssl pkey -in ec.pem -pubout -outform DER -out ec.spki");
        shell("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out other.pem");
        shell("openssl dgst -sha256 -sign rsa.pem -out sig.openssl message");
        shell("openssl dgst -sha256 -sign other.pem -out sig.other message");
        shell("openssl dgst -sha1 -sign rsa.pem -out sig.sha1 message");
        shell("openssl dgst -sha256 -sign rsa.pem -sigopt rsa_padding_mode:pss -out sig.pss message");
        shell("python3 -c \"import sys; from cryptography.hazmat.primitives import hashes, serialization; "
              "from cryptography.hazmat.primitives.asymmetric import padding; "
              "k = serialization.load_pem_private_key(open('rsa.pem','rb').read(), None); "
              "open('sig.python','wb').write(k.sign(open('message','rb').read(), padding.PKCS1v15(), "
              "hashes.SHA256()))\"");
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(sDirectory); }

    static void shell(const std::string& command)
    {
        ASSERT_EQ(std::system(("cd " + sDirectory + " && " + command + " 2>/dev/null").c_str()), 0)
            << command;
    }
    static void write(const std::string& name, const Bytes& bytes)
    {
        std::ofstream(sDirectory + "/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    static Bytes read(const std::string& name)
    {
        std::ifstream in(sDirectory + "/" + name, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    static CFDataRef data(const Bytes& bytes)
    {
        return CFDataCreate(nullptr, bytes.data(), CFIndex(bytes.size()));
    }

    static CFDictionaryRef attributes(int bits, CFStringRef keyClass = kSecAttrKeyClassPublic)
    {
        CFNumberRef size = CFNumberCreate(nullptr, kCFNumberIntType, &bits);
        const void* keys[] = {kSecAttrKeyType, kSecAttrKeyClass, kSecAttrKeySizeInBits};
        const void* values[] = {kSecAttrKeyTypeRSA, keyClass, size};
        CFDictionaryRef dictionary = CFDictionaryCreate(
            nullptr, keys, values, 3, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        CFRelease(size);
        return dictionary;
    }

    // The key, or null with the error's OSStatus code in status.
    static SecKeyRef import(const Bytes& der, int bits, CFIndex& status,
                            CFStringRef keyClass = kSecAttrKeyClassPublic)
    {
        CFDataRef keyData = data(der);
        CFDictionaryRef options = attributes(bits, keyClass);
        CFErrorRef error = nullptr;
        SecKeyRef key = SecKeyCreateWithData(keyData, options, &error);
        status = 0;
        if (error) {
            EXPECT_TRUE(CFEqual(CFErrorGetDomain(error), kCFErrorDomainOSStatus));
            status = CFErrorGetCode(error);
            CFRelease(error);
        }
        CFRelease(keyData);
        CFRelease(options);
        return key;
    }

    // Whether the signature verifies; status holds the error's code when it does not.
    static bool verify(SecKeyRef key, const Bytes& message, const Bytes& signature, CFIndex& status)
    {
        CFDataRef signedData = data(message);
        CFDataRef signatureData = data(signature);
        CFErrorRef error = nullptr;
        const bool verified = SecKeyVerifySignature(key, kSecKeyAlgorithmRSASignatureMessagePKCS1v15SHA256,
                                                    signedData, signatureData, &error);
        status = 0;
        if (error) {
            status = CFErrorGetCode(error);
            CFRelease(error);
        }
        CFRelease(signedData);
        CFRelease(signatureData);
        return verified;
    }

    static inline std::string sDirectory;
};

TEST_F(SecKeyTest, SignaturesOfBothPeersVerifyUnderBothKeyForms)
{
    for (const char* form : {"rsa.spki", "rsa.pkcs1"}) {
        CFIndex status = 0;
        SecKeyRef key = import(read(form), 2048, status);
        ASSERT_NE(key, nullptr) << form << " " << status;
        EXPECT_EQ(CFGetTypeID(key), SecKeyGetTypeID());
        for (const char* signature : {"sig.openssl", "sig.python"}) {
            EXPECT_TRUE(verify(key, read("message"), read(signature), status)) << form << " " << signature;
            EXPECT_EQ(status, 0);
        }
        CFRelease(key);
    }
}

TEST_F(SecKeyTest, AnythingElseFailsVerification)
{
    CFIndex status = 0;
    SecKeyRef key = import(read("rsa.spki"), 2048, status);
    ASSERT_NE(key, nullptr);
    const Bytes message = read("message");
    const Bytes signature = read("sig.openssl");
    Bytes flippedMessage = message;
    flippedMessage[3] ^= 0x01;
    Bytes flippedSignature = signature;
    flippedSignature[100] ^= 0x80;
    const struct
    {
        const char* name;
        Bytes message, signature;
    } rows[] = {
        {"a flipped message bit", flippedMessage, signature},
        {"a flipped signature bit", message, flippedSignature},
        {"PSS", message, read("sig.pss")},
        {"SHA-1", message, read("sig.sha1")},
        {"another key", message, read("sig.other")},
        {"255 bytes", message, Bytes(signature.begin() + 1, signature.end())},
        {"257 bytes", message,
         [&] {
             Bytes longer = signature;
             longer.insert(longer.begin(), 0);
             return longer;
         }()},
        {"empty", message, Bytes{}},
    };
    for (const auto& row : rows) {
        EXPECT_FALSE(verify(key, row.message, row.signature, status)) << row.name;
        EXPECT_EQ(status, errSecVerifyFailed) << row.name;
    }
    CFRelease(key);
}

TEST_F(SecKeyTest, ImportRefusesOtherKeysAndMalformedData)
{
    Bytes trailing = read("rsa.spki");
    trailing.push_back(0);
    Bytes truncated = read("rsa.spki");
    truncated.pop_back();
    const struct
    {
        const char* name;
        Bytes der;
        int bits;
        CFStringRef keyClass;
    } rows[] = {
        {"an EC key", read("ec.spki"), 256, kSecAttrKeyClassPublic},
        {"4096 bits against 2048", read("rsa4096.spki"), 2048, kSecAttrKeyClassPublic},
        {"trailing bytes", trailing, 2048, kSecAttrKeyClassPublic},
        {"truncated DER", truncated, 2048, kSecAttrKeyClassPublic},
        {"nothing", Bytes{}, 2048, kSecAttrKeyClassPublic},
        {"the private class", read("rsa.spki"), 2048, kSecAttrKeyClassPrivate},
    };
    for (const auto& row : rows) {
        CFIndex status = 0;
        SecKeyRef key = import(row.der, row.bits, status, row.keyClass);
        EXPECT_EQ(key, nullptr) << row.name;
        EXPECT_NE(status, 0) << row.name;
        if (key) {
            CFRelease(key);
        }
    }
    CFIndex status = 0;
    SecKeyRef large = import(read("rsa4096.spki"), 4096, status);
    EXPECT_NE(large, nullptr);
    CFRelease(large);
}

} // namespace
