#pragma once

// A certificate authority of its own and server certificates it signs, made in process, for the
// loopback servers' TLS. Names stay under ".example".

#include <string>

namespace SimNetwork {

struct CertificateAuthority
{
    std::string certificatePem;
    std::string keyPem;
};

struct ServerCertificate
{
    std::string certificatePem;
    std::string keyPem;
};

CertificateAuthority makeCertificateAuthority(const std::string& commonName);
// A certificate for hostName (its subject alternative name), signed by the authority.
ServerCertificate makeServerCertificate(const CertificateAuthority& authority, const std::string& hostName);

} // namespace SimNetwork
