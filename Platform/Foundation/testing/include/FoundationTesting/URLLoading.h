#pragma once

// Test seams of URL loading, for tests and the demo only. Host names stay under ".example".

#include <cstdint>
#include <string>

namespace FoundationTesting {

// Connections to host:port go to 127.0.0.1:loopbackPort.
void mapHost(const std::string& host, uint16_t port, uint16_t loopbackPort);
// Certificates signed by this authority (PEM) are trusted beside the system's.
void trustCertificateAuthority(const std::string& pem);
// The default configuration's request time-out, in seconds; 0 puts back 60.
void setDefaultRequestTimeout(double seconds);
// Forgets the maps and the extra authorities, and puts the time-out back.
void resetURLLoading();

} // namespace FoundationTesting
