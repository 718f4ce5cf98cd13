#include <SimNetwork/TestCertificates.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>

namespace SimNetwork {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

Key newKey()
{
    Key key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
    if (!key) {
        throw std::runtime_error("no key");
    }
    return key;
}

std::string pemOf(const std::function<int(BIO*)>& write)
{
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    write(bio.get());
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, size_t(length));
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

Certificate newCertificate(EVP_PKEY* key, const std::string& commonName, long serial)
{
    Certificate certificate(X509_new(), &X509_free);
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 30L * 24 * 3600);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate.get()), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    return certificate;
}

Key readKey(const std::string& pem)
{
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), int(pem.size())),
                                                        &BIO_free);
    return Key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
}

Certificate readCertificate(const std::string& pem)
{
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), int(pem.size())),
                                                        &BIO_free);
    return Certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), &X509_free);
}

} // namespace

CertificateAuthority makeCertificateAuthority(const std::string& commonName)
{
    Key key = newKey();
    Certificate certificate = newCertificate(key.get(), commonName, 1);
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get()));
    addExtension(certificate.get(), certificate.get(), NID_basic_constraints, "critical,CA:TRUE");
    addExtension(certificate.get(), certificate.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(certificate.get(), certificate.get(), NID_subject_key_identifier, "hash");
    X509_sign(certificate.get(), key.get(), EVP_sha256());
    return {pemOf([&](BIO* bio) { return PEM_write_bio_X509(bio, certificate.get()); }), pemOf([&](BIO* bio) {
                return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
            })};
}

ServerCertificate makeServerCertificate(const CertificateAuthority& authority, const std::string& hostName)
{
    const Key authorityKey = readKey(authority.keyPem);
    const Certificate authorityCertificate = readCertificate(authority.certificatePem);
    Key key = newKey();
    static std::atomic<long> serial{2};
    Certificate certificate = newCertificate(key.get(), hostName, serial++);
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(authorityCertificate.get()));
    addExtension(certificate.get(), authorityCertificate.get(), NID_subject_alt_name,
                 ("DNS:" + hostName).c_str());
    addExtension(certificate.get(), authorityCertificate.get(), NID_ext_key_usage, "serverAuth");
    addExtension(certificate.get(), authorityCertificate.get(), NID_authority_key_identifier, "keyid");
    X509_sign(certificate.get(), authorityKey.get(), EVP_sha256());
    return {pemOf([&](BIO* bio) { return PEM_write_bio_X509(bio, certificate.get()); }), pemOf([&](BIO* bio) {
                return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
            })};
}

} // namespace SimNetwork
