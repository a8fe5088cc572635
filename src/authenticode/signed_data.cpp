// Building and editing Authenticode SignedData at the DER level, so that
// existing signatures (from any signer) keep their exact signed bytes.
#include "signed_data.h"

#include <openssl/sha.h>

namespace authenticode {

namespace {

Bytes Sha256Algorithm() {
    return der::Wrap(der::kSequence, {der::Oid(oid::kSha256), der::Null()});
}

// The parts of a ContentInfo { signedData, [0] SignedData } down to the
// first SignerInfo.
struct SignedDataLayout {
    der::Element content_type;             // the OID of the ContentInfo
    std::vector<der::Element> signed_data;  // children of SignedData
    size_t signer_infos = 0;                // index of the signerInfos SET
    std::vector<der::Element> signer_infos_items;
    std::vector<der::Element> signer_info;  // children of the first SignerInfo
};

bool ReadLayout(const Bytes& pkcs7, SignedDataLayout* out) {
    using namespace der;
    Element info, explicit0, signed_data;
    if (!ParseWhole(pkcs7.data(), pkcs7.size(), &info) || info.tag != kSequence) return false;
    Reader top(info);
    if (!top.Expect(kOid, &out->content_type)) return false;
    if (out->content_type.Encoded() != Oid(oid::kSignedData)) return false;
    if (!top.Expect(ContextConstructed(0), &explicit0) || !top.AtEnd()) return false;
    Reader wrapper(explicit0);
    if (!wrapper.Expect(kSequence, &signed_data) || !wrapper.AtEnd()) return false;
    Reader fields(signed_data);
    Element e;
    while (fields.Next(&e)) out->signed_data.push_back(e);
    if (!fields.AtEnd() || out->signed_data.size() < 4) return false;
    // version, digestAlgorithms, contentInfo, [0] certificates, [1] crls, signerInfos
    out->signer_infos = out->signed_data.size() - 1;
    const Element& set = out->signed_data[out->signer_infos];
    if (set.tag != kSet) return false;
    Reader items(set);
    while (items.Next(&e)) out->signer_infos_items.push_back(e);
    if (!items.AtEnd() || out->signer_infos_items.empty()) return false;
    if (out->signer_infos_items[0].tag != kSequence) return false;
    Reader si(out->signer_infos_items[0]);
    while (si.Next(&e)) out->signer_info.push_back(e);
    return si.AtEnd();
}

// Index of the encryptedDigest in a SignerInfo's children: the first OCTET
// STRING after the digestEncryptionAlgorithm.
bool FindSignatureIndex(const std::vector<der::Element>& signer_info, size_t* index) {
    // version, sid, digestAlgorithm, [0] attributes?, digestEncryptionAlgorithm, encryptedDigest
    for (size_t i = 3; i < signer_info.size(); ++i) {
        if (signer_info[i].tag == der::kOctetString && signer_info[i - 1].tag == der::kSequence) {
            *index = i;
            return true;
        }
    }
    return false;
}

}  // namespace

Bytes Sha256(const uint8_t* data, size_t size) {
    Bytes out(SHA256_DIGEST_LENGTH);
    SHA256(data, size, out.data());
    return out;
}

Bytes EncodeSignedAttributes(const Bytes& content, const AttributeChoice& choice, std::string_view content_type) {
    using namespace der;
    // The digest covers the content octets of the content's SEQUENCE, not
    // its tag and length.
    Element whole;
    Bytes digest;
    if (ParseWhole(content.data(), content.size(), &whole)) {
        digest = Sha256(whole.content, whole.content_size);
    } else {
        digest = Sha256(content.data(), content.size());
    }
    std::vector<Bytes> attributes;
    attributes.push_back(EncodeAttribute(oid::kContentType, Oid(content_type)));
    if (choice.authenticode) {
        attributes.push_back(EncodeAttribute(oid::kSpcSpOpusInfo, EncodeOpusInfo(choice.opus)));
        attributes.push_back(EncodeAttribute(oid::kSpcStatementType, EncodeStatementType(choice.commercial)));
    }
    attributes.push_back(EncodeAttribute(oid::kMessageDigest, OctetString(digest)));
    return SetOf(attributes);
}

bool ReadIssuerAndSerial(const Bytes& certificate, IssuerAndSerial* out) {
    using namespace der;
    Element cert, tbs, e;
    if (!ParseWhole(certificate.data(), certificate.size(), &cert) || cert.tag != kSequence) return false;
    Reader outer(cert);
    if (!outer.Expect(kSequence, &tbs)) return false;
    Reader fields(tbs);
    if (fields.PeekTag() == ContextConstructed(0) && !fields.Next(&e)) return false;  // version
    Element serial, algorithm, issuer;
    if (!fields.Expect(kInteger, &serial)) return false;
    if (!fields.Expect(kSequence, &algorithm)) return false;
    if (!fields.Expect(kSequence, &issuer)) return false;
    out->serial = serial.Encoded();
    out->issuer = issuer.Encoded();
    return true;
}

Bytes AssembleSignedData(const SignedDataParts& parts) {
    using namespace der;
    Bytes signed_attrs_implicit = parts.signed_attributes;
    if (!signed_attrs_implicit.empty()) signed_attrs_implicit[0] = ContextConstructed(0);
    Bytes signature_algorithm = parts.key == KeyKind::kRsa
                                    ? Wrap(kSequence, {Oid(oid::kRsaEncryption), Null()})
                                    : Wrap(kSequence, {Oid(oid::kEcdsaWithSha256)});
    Bytes signer_info = Wrap(kSequence, {
        SmallInteger(1),
        Wrap(kSequence, {parts.signer.issuer, parts.signer.serial}),
        Sha256Algorithm(),
        signed_attrs_implicit,
        signature_algorithm,
        OctetString(parts.signature),
    });
    Bytes content_info = Wrap(kSequence, {
        Oid(parts.content_type),
        Wrap(ContextConstructed(0), {parts.content}),
    });
    Bytes signed_data = Wrap(kSequence, {
        SmallInteger(1),
        Wrap(kSet, {Sha256Algorithm()}),
        content_info,
        Wrap(ContextConstructed(0), parts.certificates),
        Wrap(kSet, {signer_info}),
    });
    return Wrap(kSequence, {Oid(oid::kSignedData), Wrap(ContextConstructed(0), {signed_data})});
}

bool ReadSignatureValue(const Bytes& pkcs7, Bytes* signature) {
    SignedDataLayout layout;
    size_t index = 0;
    if (!ReadLayout(pkcs7, &layout) || !FindSignatureIndex(layout.signer_info, &index)) return false;
    *signature = layout.signer_info[index].Content();
    return true;
}

bool SetUnsignedAttribute(const Bytes& pkcs7, std::string_view type, const Bytes& value, Bytes* out) {
    using namespace der;
    SignedDataLayout layout;
    size_t index = 0;
    if (!ReadLayout(pkcs7, &layout) || !FindSignatureIndex(layout.signer_info, &index)) return false;
    const Bytes type_oid = Oid(type);

    std::vector<Bytes> attributes;
    if (index + 1 < layout.signer_info.size()) {
        if (index + 2 != layout.signer_info.size()) return false;
        const Element& unsigned_attrs = layout.signer_info[index + 1];
        if (unsigned_attrs.tag != ContextConstructed(1)) return false;
        Reader r(unsigned_attrs);
        Element attribute;
        while (r.Next(&attribute)) {
            if (attribute.tag != kSequence) return false;
            Reader fields(attribute);
            Element attr_type;
            if (!fields.Expect(kOid, &attr_type)) return false;
            if (attr_type.Encoded() != type_oid) attributes.push_back(attribute.Encoded());
        }
        if (!r.AtEnd()) return false;
    }
    attributes.push_back(EncodeAttribute(type, value));
    Bytes unsigned_set = SetOf(attributes);
    unsigned_set[0] = ContextConstructed(1);

    std::vector<Bytes> signer_fields;
    for (size_t i = 0; i <= index; ++i) signer_fields.push_back(layout.signer_info[i].Encoded());
    signer_fields.push_back(unsigned_set);
    std::vector<Bytes> items;
    items.push_back(Wrap(kSequence, signer_fields));
    for (size_t i = 1; i < layout.signer_infos_items.size(); ++i) items.push_back(layout.signer_infos_items[i].Encoded());

    std::vector<Bytes> signed_fields;
    for (size_t i = 0; i < layout.signer_infos; ++i) signed_fields.push_back(layout.signed_data[i].Encoded());
    signed_fields.push_back(Wrap(kSet, items));
    Bytes signed_data = Wrap(kSequence, signed_fields);
    *out = Wrap(kSequence, {layout.content_type.Encoded(), Wrap(ContextConstructed(0), {signed_data})});
    return true;
}

}  // namespace authenticode
