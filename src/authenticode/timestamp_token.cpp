// Verification of a timestamp token without a trust store: the signature,
// the digest of the signed content, the signer's certificate and its link
// to an issuer the token carries. OpenSSL's CMS code does the signature and
// digest; the rest is checked here.
#include "timestamp_token.h"

#include <algorithm>

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace authenticode {

namespace {

struct Certs {
    STACK_OF(X509)* list = nullptr;
    ~Certs() { sk_X509_pop_free(list, X509_free); }
};

bool HasTimeStampingUsage(X509* cert) {
    // Without the extension OpenSSL reports every usage; the extension must be there.
    if ((X509_get_extension_flags(cert) & EXFLAG_XKUSAGE) == 0) return false;
    return (X509_get_extended_key_usage(cert) & XKU_TIMESTAMP) != 0;
}

// The first certificate hash of a SigningCertificate (v1: SHA-1) or
// SigningCertificateV2 (its own algorithm, SHA-256 by default) attribute
// value must be that of the signer's certificate. Further entries name
// other certificates of the TSA's path, which the token need not carry.
bool FirstCertIdIs(const ASN1_STRING* value, bool v2, X509* signer) {
    using namespace der;
    Element whole, ids, first, part;
    if (!ParseWhole(ASN1_STRING_get0_data(value), static_cast<size_t>(ASN1_STRING_length(value)), &whole) ||
        whole.tag != kSequence) {
        return false;
    }
    Reader r(whole);
    if (!r.Expect(kSequence, &ids)) return false;
    Reader list(ids);
    if (!list.Expect(kSequence, &first)) return false;
    Reader id(first);
    if (!id.Next(&part)) return false;
    const EVP_MD* md = v2 ? EVP_sha256() : EVP_sha1();
    if (v2 && part.tag == kSequence) {
        Reader algorithm(part);
        Element oid;
        if (!algorithm.Expect(kOid, &oid)) return false;
        const unsigned char* p = oid.start;
        ASN1_OBJECT* object = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(oid.size));
        md = object ? EVP_get_digestbyobj(object) : nullptr;
        ASN1_OBJECT_free(object);
        if (md == nullptr || !id.Next(&part)) return false;
    }
    if (part.tag != kOctetString) return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(signer, md, digest, &size) != 1) return false;
    return part.content_size == size && std::equal(digest, digest + size, part.content);
}

// Each signingCertificate attribute present must name the signer first.
bool SigningCertificateMatches(CMS_SignerInfo* si, X509* signer) {
    const struct {
        int nid;
        bool v2;
    } kinds[] = {{NID_id_smime_aa_signingCertificate, false}, {NID_id_smime_aa_signingCertificateV2, true}};
    for (const auto& kind : kinds) {
        const ASN1_OBJECT* type = OBJ_nid2obj(kind.nid);
        int at = CMS_signed_get_attr_by_OBJ(si, type, -1);
        if (at < 0) continue;
        auto* value = static_cast<ASN1_STRING*>(CMS_signed_get0_data_by_OBJ(si, type, -3, V_ASN1_SEQUENCE));
        if (value == nullptr || !FirstCertIdIs(value, kind.v2, signer)) return false;
    }
    return true;
}

// When the token carries an issuer of the signer's certificate (one that
// matches its issuer name and key identifier), one of them must have signed
// it. A self-issued signer, or one whose issuer is not in the token, is left
// to the verifier's trust store.
bool IssuerInTokenSigned(X509* signer, STACK_OF(X509)* certs) {
    if (X509_check_issued(signer, signer) == X509_V_OK) return true;
    bool carried = false;
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        X509* issuer = sk_X509_value(certs, i);
        if (issuer == signer || X509_check_issued(issuer, signer) != X509_V_OK) continue;
        carried = true;
        EVP_PKEY* key = X509_get0_pubkey(issuer);
        if (key != nullptr && X509_verify(signer, key) == 1) return true;
    }
    return !carried;
}

// The time the token states must fall within its certificate's validity.
bool StampedWhileValid(CMS_ContentInfo* cms, X509* signer) {
    ASN1_OCTET_STRING** content = CMS_get0_content(cms);
    if (content == nullptr || *content == nullptr) return false;
    const unsigned char* p = ASN1_STRING_get0_data(*content);
    TS_TST_INFO* info = d2i_TS_TST_INFO(nullptr, &p, ASN1_STRING_length(*content));
    if (info == nullptr) return false;
    const ASN1_GENERALIZEDTIME* when = TS_TST_INFO_get_time(info);
    bool ok = when != nullptr && ASN1_TIME_compare(X509_get0_notBefore(signer), when) <= 0 &&
              ASN1_TIME_compare(when, X509_get0_notAfter(signer)) <= 0;
    TS_TST_INFO_free(info);
    return ok;
}

bool Verify(CMS_ContentInfo* cms) {
    if (OBJ_obj2nid(CMS_get0_type(cms)) != NID_pkcs7_signed) return false;
    if (OBJ_obj2nid(CMS_get0_eContentType(cms)) != NID_id_smime_ct_TSTInfo) return false;
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
    if (infos == nullptr || sk_CMS_SignerInfo_num(infos) != 1) return false;
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(infos, 0);
    // A TSTInfo is always signed through signed attributes.
    if (CMS_signed_get_attr_count(si) <= 0) return false;
    // Signature over the signed attributes and their messageDigest against
    // the TSTInfo, with the signer looked up among the token's certificates;
    // no chain is built.
    BIO* sink = BIO_new(BIO_s_null());
    if (sink == nullptr) return false;
    int verified = CMS_verify(cms, nullptr, nullptr, nullptr, sink, CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY);
    BIO_free(sink);
    if (verified != 1) return false;
    X509* signer = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, &signer, nullptr, nullptr);
    if (signer == nullptr || !HasTimeStampingUsage(signer) || !StampedWhileValid(cms, signer)) return false;
    Certs certs;
    certs.list = CMS_get1_certs(cms);
    if (certs.list == nullptr) return false;
    return SigningCertificateMatches(si, signer) && IssuerInTokenSigned(signer, certs.list);
}

}  // namespace

bool TimestampTokenVerifies(const Bytes& token) {
    const unsigned char* p = token.data();
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(token.size()));
    bool ok = cms != nullptr && p == token.data() + token.size() && Verify(cms);
    CMS_ContentInfo_free(cms);
    // Leave no reason behind in the thread's queue for an unrelated caller to find.
    ERR_clear_error();
    return ok;
}

}  // namespace authenticode
