// Encodings of the Authenticode structures that describe a PE image.
#include "spc.h"

namespace authenticode {

namespace {

// The file link [2] SpcString { unicode [0] "<<<Obsolete>>>" }, the form
// Windows writes and expects.
Bytes ObsoleteLink() {
    using namespace der;
    return Wrap(ContextConstructed(2), {BmpString(u"<<<Obsolete>>>", ContextPrimitive(0))});
}

}  // namespace

Bytes EncodeIndirectData(const Bytes& data, const uint8_t digest[32]) {
    using namespace der;
    Bytes algorithm = Wrap(kSequence, {Oid(oid::kSha256), Null()});
    Bytes digest_info = Wrap(kSequence, {algorithm, OctetString(Bytes(digest, digest + 32))});
    return Wrap(kSequence, {data, digest_info});
}

Bytes EncodePeIndirectData(const uint8_t digest[32]) {
    using namespace der;
    // SpcPeImageData { flags: empty BIT STRING, file: [0] SpcLink }.
    Bytes image_data = Wrap(kSequence, {Bytes{kBitString, 0x01, 0x00}, Wrap(ContextConstructed(0), {ObsoleteLink()})});
    return EncodeIndirectData(Wrap(kSequence, {Oid(oid::kSpcPeImageData), image_data}), digest);
}

Bytes EncodeSipInfoData(uint32_t version, const uint8_t guid[16]) {
    using namespace der;
    Bytes zero = SmallInteger(0);
    Bytes info = Wrap(kSequence, {SmallInteger(version), OctetString(Bytes(guid, guid + 16)), zero, zero, zero, zero, zero});
    return Wrap(kSequence, {Oid(oid::kSpcSipInfo), info});
}

Bytes EncodeCabData() {
    using namespace der;
    return Wrap(kSequence, {Oid(oid::kSpcCabData), ObsoleteLink()});
}

Bytes EncodeOpusInfo(const OpusInfo& info) {
    using namespace der;
    std::vector<Bytes> parts;
    if (info.has_name) {
        // programName [0] EXPLICIT SpcString, as unicode [0] IMPLICIT BMPString.
        parts.push_back(Wrap(ContextConstructed(0), {BmpString(info.name, ContextPrimitive(0))}));
    }
    if (info.has_url) {
        // moreInfo [1] EXPLICIT SpcLink, as url [0] IMPLICIT IA5String.
        Bytes url(info.url.begin(), info.url.end());
        parts.push_back(Wrap(ContextConstructed(1), {Tlv(ContextPrimitive(0), url)}));
    }
    return Wrap(kSequence, parts);
}

Bytes EncodeStatementType(bool commercial) {
    using namespace der;
    return Wrap(kSequence, {Oid(commercial ? oid::kCommercialCodeSigning : oid::kIndividualCodeSigning)});
}

Bytes EncodeAttribute(std::string_view type, const Bytes& value) {
    using namespace der;
    return Wrap(kSequence, {Oid(type), Wrap(kSet, {value})});
}

}  // namespace authenticode
