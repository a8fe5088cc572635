// PKCS#7 SignedData for Authenticode: assembling a new signature and
// editing the unsigned attributes of an existing one without touching the
// bytes that its signature covers.
#pragma once

#include <string_view>
#include <vector>

#include "der.h"
#include "spc.h"

namespace authenticode {

enum class KeyKind { kRsa, kEcdsa };

Bytes Sha256(const uint8_t* data, size_t size);

// The signed attributes of an Authenticode signature over `content` (an
// SpcIndirectDataContent, or a catalog's list), as the DER SET OF that the
// signature covers; contentType names `content_type`. Without Authenticode
// attributes only contentType and messageDigest remain.
struct AttributeChoice {
    bool authenticode = true;
    bool commercial = false;
    OpusInfo opus;
};
Bytes EncodeSignedAttributes(const Bytes& content, const AttributeChoice& choice,
                             std::string_view content_type = oid::kSpcIndirectData);

// The signer's issuer Name and serial INTEGER, as encoded in its certificate.
struct IssuerAndSerial {
    Bytes issuer;
    Bytes serial;
};
bool ReadIssuerAndSerial(const Bytes& certificate, IssuerAndSerial* out);

// ContentInfo { signedData, SignedData v1 } with one SHA-256 SignerInfo.
// `certificates` go in as given (signer first); `signed_attributes` is the
// SET OF from EncodeSignedAttributes; `signature` is PKCS#1 v1.5 for RSA,
// a DER Ecdsa-Sig-Value for ECDSA.
struct SignedDataParts {
    std::string_view content_type = oid::kSpcIndirectData;  // eContentType
    Bytes content;
    std::vector<Bytes> certificates;
    IssuerAndSerial signer;
    KeyKind key = KeyKind::kRsa;
    Bytes signed_attributes;
    Bytes signature;
};
Bytes AssembleSignedData(const SignedDataParts& parts);

// The encryptedDigest octets of the first SignerInfo of a PKCS#7 ContentInfo.
// False when the bytes are not such a structure.
bool ReadSignatureValue(const Bytes& pkcs7, Bytes* signature);

// Sets the unsigned attribute `type` of the first SignerInfo to `value`,
// replacing any attribute of the same type and keeping the others; every
// other byte of the structure stays as it was. False on a malformed input.
bool SetUnsignedAttribute(const Bytes& pkcs7, std::string_view type, const Bytes& value, Bytes* out);

}  // namespace authenticode
