// Verification of a timestamp token without a trust store: the signature,
// the digest of the signed content, the signer's certificate and its link
// to an issuer the token carries. OpenSSL's CMS code does the signature and
// digest; the rest is checked here.
#include "timestamp_token.h"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/ess.h>
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

// The signingCertificate attributes, when present, must name the signer's
// certificate (first entry) and only certificates of the token.
bool SigningCertificateMatches(CMS_SignerInfo* si, X509* signer, STACK_OF(X509)* certs) {
    ESS_SIGNING_CERT* v1 = nullptr;
    ESS_SIGNING_CERT_V2* v2 = nullptr;
    bool ok = true;
    auto* s1 = static_cast<ASN1_STRING*>(
        CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(NID_id_smime_aa_signingCertificate), -3, V_ASN1_SEQUENCE));
    if (s1 != nullptr) {
        const unsigned char* p = ASN1_STRING_get0_data(s1);
        v1 = d2i_ESS_SIGNING_CERT(nullptr, &p, ASN1_STRING_length(s1));
        ok = v1 != nullptr;
    }
    auto* s2 = static_cast<ASN1_STRING*>(
        CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(NID_id_smime_aa_signingCertificateV2), -3, V_ASN1_SEQUENCE));
    if (ok && s2 != nullptr) {
        const unsigned char* p = ASN1_STRING_get0_data(s2);
        v2 = d2i_ESS_SIGNING_CERT_V2(nullptr, &p, ASN1_STRING_length(s2));
        ok = v2 != nullptr;
    }
    if (ok && (v1 != nullptr || v2 != nullptr)) {
        // The signer first, as the check expects, then the rest of the token's certificates.
        STACK_OF(X509)* chain = sk_X509_new_null();
        ok = chain != nullptr && sk_X509_push(chain, signer) > 0;
        for (int i = 0; ok && i < sk_X509_num(certs); ++i) {
            X509* c = sk_X509_value(certs, i);
            if (c != signer) ok = sk_X509_push(chain, c) > 0;
        }
        ok = ok && OSSL_ESS_check_signing_certs(v1, v2, chain, 0) > 0;
        sk_X509_free(chain);
    }
    ESS_SIGNING_CERT_free(v1);
    ESS_SIGNING_CERT_V2_free(v2);
    return ok;
}

// An issuer of the signer's certificate that the token carries must have
// signed it. A self-issued signer, or one whose issuer is not in the token,
// is left to the verifier's trust store.
bool IssuerInTokenSigned(X509* signer, STACK_OF(X509)* certs) {
    if (X509_check_issued(signer, signer) == X509_V_OK) return true;
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        X509* issuer = sk_X509_value(certs, i);
        if (issuer == signer || X509_check_issued(issuer, signer) != X509_V_OK) continue;
        EVP_PKEY* key = X509_get0_pubkey(issuer);
        return key != nullptr && X509_verify(signer, key) == 1;
    }
    return true;
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
    return SigningCertificateMatches(si, signer, certs.list) && IssuerInTokenSigned(signer, certs.list);
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
