#pragma once

#include <Security/SecBase.h>

typedef CFStringRef SecKeyAlgorithm;

// Attribute keys and values of SecKeyCreateWithData.
CF_EXPORT const CFStringRef kSecAttrKeyType;
CF_EXPORT const CFStringRef kSecAttrKeyTypeRSA;
CF_EXPORT const CFStringRef kSecAttrKeyTypeECSECPrimeRandom;
CF_EXPORT const CFStringRef kSecAttrKeyClass;
CF_EXPORT const CFStringRef kSecAttrKeyClassPublic;
CF_EXPORT const CFStringRef kSecAttrKeyClassPrivate;
CF_EXPORT const CFStringRef kSecAttrKeySizeInBits;

// RSA PKCS#1 v1.5 over the SHA-256 digest of the message.
CF_EXPORT const SecKeyAlgorithm kSecKeyAlgorithmRSASignatureMessagePKCS1v15SHA256;

CF_EXPORT CFTypeID SecKeyGetTypeID(void);

// An RSA public key from its DER form, SubjectPublicKeyInfo or PKCS#1 RSAPublicKey; the whole of
// keyData must be the key. NULL with an error of the OSStatus domain for anything else: another key
// type or class, a size other than kSecAttrKeySizeInBits asks, trailing bytes or malformed DER.
CF_EXPORT SecKeyRef SecKeyCreateWithData(CFDataRef keyData, CFDictionaryRef attributes, CFErrorRef* error);

// Whether signature is the algorithm's signature of signedData under key. false with
// errSecVerifyFailed when it is not.
CF_EXPORT Boolean SecKeyVerifySignature(SecKeyRef key, SecKeyAlgorithm algorithm, CFDataRef signedData,
                                        CFDataRef signature, CFErrorRef* error);
