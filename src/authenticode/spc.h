// The Authenticode content of a PE signature: SpcIndirectDataContent with
// SpcPeImageData, and the Authenticode signed attributes.
#pragma once

#include <string>

#include "der.h"

namespace authenticode {

// SpcIndirectDataContent carrying the SHA-256 image digest.
Bytes EncodePeIndirectData(const uint8_t digest[32]);

// SpcIndirectDataContent { data: `data` (an SpcAttributeTypeAndOptionalValue
// already encoded), messageDigest: SHA-256 `digest` }.
Bytes EncodeIndirectData(const Bytes& data, const uint8_t digest[32]);

// The data of a subject whose interface package names itself: SpcSipInfo
// { version, the package's GUID (16 bytes as Windows keeps it in memory),
// five zero INTEGERs }.
Bytes EncodeSipInfoData(uint32_t version, const uint8_t guid[16]);

// The data of a cabinet: SPC_CAB_DATA with the obsolete file link.
Bytes EncodeCabData();

// SpcSpOpusInfo: programName and moreInfo when given (empty SEQUENCE when
// neither).
struct OpusInfo {
    bool has_name = false;
    std::u16string name;
    bool has_url = false;
    std::string url;  // ASCII
};
Bytes EncodeOpusInfo(const OpusInfo& info);

// SpcStatementType with the individual or commercial purpose.
Bytes EncodeStatementType(bool commercial);

// An Attribute { type, SET { value } }.
Bytes EncodeAttribute(std::string_view oid, const Bytes& value);

namespace oid {
constexpr const char* kSignedData = "1.2.840.113549.1.7.2";
constexpr const char* kContentType = "1.2.840.113549.1.9.3";
constexpr const char* kMessageDigest = "1.2.840.113549.1.9.4";
constexpr const char* kSha256 = "2.16.840.1.101.3.4.2.1";
constexpr const char* kRsaEncryption = "1.2.840.113549.1.1.1";
constexpr const char* kEcdsaWithSha256 = "1.2.840.10045.4.3.2";
constexpr const char* kSpcIndirectData = "1.3.6.1.4.1.311.2.1.4";
constexpr const char* kSpcPeImageData = "1.3.6.1.4.1.311.2.1.15";
constexpr const char* kSpcCabData = "1.3.6.1.4.1.311.2.1.25";
constexpr const char* kSpcSipInfo = "1.3.6.1.4.1.311.2.1.30";
constexpr const char* kCertificateTrustList = "1.3.6.1.4.1.311.10.1";
constexpr const char* kSpcStatementType = "1.3.6.1.4.1.311.2.1.11";
constexpr const char* kSpcSpOpusInfo = "1.3.6.1.4.1.311.2.1.12";
constexpr const char* kIndividualCodeSigning = "1.3.6.1.4.1.311.2.1.21";
constexpr const char* kCommercialCodeSigning = "1.3.6.1.4.1.311.2.1.22";
constexpr const char* kRfc3161Timestamp = "1.3.6.1.4.1.311.3.3.1";
}  // namespace oid

}  // namespace authenticode
