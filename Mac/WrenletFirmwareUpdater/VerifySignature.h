#pragma once

#include <cstddef>
#include <cstdint>

// Whether signature is the updater key's RSA PKCS#1 v1.5 SHA-256 signature of data.
bool VerifySignature(const uint8_t* data, size_t length, const uint8_t* signature, size_t signatureLength);
