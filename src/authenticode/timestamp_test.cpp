// The RFC 3161 query as OpenSSL's TS code reads it, replies that are not
// replies at all, and tokens built here that a verifier would refuse (the
// loopback server in tests/authenticode damages real responder output).
#include "timestamp.h"

#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/ess.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <string>

#include "hresult.h"
#include "signed_data.h"
#include "timestamp_token.h"

namespace authenticode {
namespace {

TEST(Timestamp, QueryCarriesImprintNonceAndCertReq) {
    Bytes signature = {1, 2, 3, 4, 5};
    TimestampQuery q1, q2;
    ASSERT_TRUE(MakeTimestampQuery(signature, &q1));
    ASSERT_TRUE(MakeTimestampQuery(signature, &q2));
    EXPECT_NE(q1.nonce, q2.nonce);
    EXPECT_EQ(q1.imprint, Sha256(signature.data(), signature.size()));

    const unsigned char* p = q1.der.data();
    TS_REQ* req = d2i_TS_REQ(nullptr, &p, static_cast<long>(q1.der.size()));
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(p, q1.der.data() + q1.der.size());
    EXPECT_EQ(TS_REQ_get_version(req), 1);
    EXPECT_EQ(TS_REQ_get_cert_req(req), 1);
    EXPECT_EQ(TS_REQ_get_policy_id(req), nullptr);
    const ASN1_INTEGER* nonce = TS_REQ_get_nonce(req);
    ASSERT_NE(nonce, nullptr);
    EXPECT_GT(ASN1_STRING_length(nonce), 0);
    EXPECT_EQ(ASN1_STRING_type(nonce), V_ASN1_INTEGER);  // positive
    TS_MSG_IMPRINT* mi = TS_REQ_get_msg_imprint(req);
    const ASN1_OBJECT* alg = nullptr;
    X509_ALGOR_get0(&alg, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(mi));
    EXPECT_EQ(OBJ_obj2nid(alg), NID_sha256);
    ASN1_OCTET_STRING* digest = TS_MSG_IMPRINT_get_msg(mi);
    EXPECT_EQ(Bytes(digest->data, digest->data + digest->length), q1.imprint);
    TS_REQ_free(req);
}

TEST(Timestamp, RepliesThatAreNotTimestampsAreRefused) {
    TimestampQuery q;
    ASSERT_TRUE(MakeTimestampQuery({9}, &q));
    // A rejection {status 2} without a token, garbage, and a granted status
    // with no token.
    const std::vector<Bytes> replies = {
        {},
        {0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x02},
        {0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x00},
        {'<', 'h', 't', 'm', 'l', '>'},
        q.der,
    };
    for (const Bytes& r : replies) {
        Bytes token;
        EXPECT_EQ(ReadTimestampReply(r, q, &token), kTimeStampFailed) << r.size();
        EXPECT_TRUE(token.empty());
    }
}

// ---- tokens built here -------------------------------------------------

struct KeyFree { void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); } };
struct CertFree { void operator()(X509* c) const { X509_free(c); } };
typedef std::unique_ptr<EVP_PKEY, KeyFree> Key;
typedef std::unique_ptr<X509, CertFree> Cert;

Key NewKey() { return Key(EVP_EC_gen("P-256")); }

// A certificate for `key` named `cn`, signed by `issuer_key` under
// `issuer` (itself when null), with the extensions given as
// "name=value" texts.
Cert NewCert(EVP_PKEY* key, const char* cn, X509* issuer, EVP_PKEY* issuer_key,
             const std::vector<std::pair<int, std::string>>& extensions) {
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    static long serial = 1;
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 30);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509_set_pubkey(cert.get(), key);
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    for (const auto& [nid, value] : extensions) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    X509_sign(cert.get(), issuer_key ? issuer_key : key, EVP_sha256());
    return cert;
}

Bytes Der(const unsigned char* data, int size) { return Bytes(data, data + size); }

Bytes TstInfo(const TimestampQuery& q) {
    TS_TST_INFO* info = TS_TST_INFO_new();
    TS_TST_INFO_set_version(info, 1);
    ASN1_OBJECT* policy = OBJ_txt2obj("1.3.6.1.4.1.99999.1", 1);
    TS_TST_INFO_set_policy_id(info, policy);
    ASN1_OBJECT_free(policy);
    TS_MSG_IMPRINT* mi = TS_MSG_IMPRINT_new();
    X509_ALGOR* alg = X509_ALGOR_new();
    X509_ALGOR_set0(alg, OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr);
    TS_MSG_IMPRINT_set_algo(mi, alg);
    X509_ALGOR_free(alg);
    TS_MSG_IMPRINT_set_msg(mi, const_cast<unsigned char*>(q.imprint.data()), static_cast<int>(q.imprint.size()));
    TS_TST_INFO_set_msg_imprint(info, mi);
    TS_MSG_IMPRINT_free(mi);
    ASN1_INTEGER* serial = ASN1_INTEGER_new();
    ASN1_INTEGER_set(serial, 7);
    TS_TST_INFO_set_serial(info, serial);
    ASN1_INTEGER_free(serial);
    ASN1_GENERALIZEDTIME* now = ASN1_GENERALIZEDTIME_set(nullptr, time(nullptr));
    TS_TST_INFO_set_time(info, now);
    ASN1_GENERALIZEDTIME_free(now);
    const unsigned char* p = q.nonce.data();
    ASN1_INTEGER* nonce = d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(q.nonce.size()));
    TS_TST_INFO_set_nonce(info, nonce);
    ASN1_INTEGER_free(nonce);
    unsigned char* der = nullptr;
    int size = i2d_TS_TST_INFO(info, &der);
    Bytes out = Der(der, size);
    OPENSSL_free(der);
    TS_TST_INFO_free(info);
    return out;
}

struct TokenRecipe {
    X509* signer;
    EVP_PKEY* key;
    std::vector<X509*> extra_certs;    // besides the signer
    X509* named_in_signing_cert = nullptr;  // signingCertificate attribute
    X509* also_named = nullptr;             // a second entry there
    bool v2 = false;                        // signingCertificateV2 (SHA-256) instead
    bool tst_info_type = true;         // eContentType id-ct-TSTInfo, else id-data
    X509* second_signer = nullptr;
    EVP_PKEY* second_key = nullptr;
    X509* shown_as = nullptr;          // carried in place of the signer's certificate
};

// A granted TimeStampResp for `q` whose token is signed as `recipe` says.
Bytes Reply(const TimestampQuery& q, const TokenRecipe& recipe) {
    Bytes content = TstInfo(q);
    STACK_OF(X509)* certs = sk_X509_new_null();
    for (X509* c : recipe.extra_certs) sk_X509_push(certs, c);
    BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
    const int flags = CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP | (recipe.shown_as ? CMS_NOCERTS : 0);
    CMS_ContentInfo* cms = CMS_sign(recipe.signer, recipe.key, recipe.shown_as ? nullptr : certs, nullptr, flags);
    EXPECT_NE(cms, nullptr);
    if (recipe.shown_as != nullptr) {
        CMS_add1_cert(cms, recipe.shown_as);
        for (X509* c : recipe.extra_certs) CMS_add1_cert(cms, c);
    }
    if (recipe.tst_info_type) CMS_set1_eContentType(cms, OBJ_nid2obj(NID_id_smime_ct_TSTInfo));
    if (recipe.named_in_signing_cert != nullptr) {
        CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0);
        STACK_OF(X509)* also = sk_X509_new_null();
        if (recipe.also_named != nullptr) sk_X509_push(also, recipe.also_named);
        unsigned char* der = nullptr;
        int size = 0;
        if (recipe.v2) {
            ESS_SIGNING_CERT_V2* sc =
                OSSL_ESS_signing_cert_v2_new_init(EVP_sha256(), recipe.named_in_signing_cert, also, 1);
            size = i2d_ESS_SIGNING_CERT_V2(sc, &der);
            ESS_SIGNING_CERT_V2_free(sc);
        } else {
            ESS_SIGNING_CERT* sc = OSSL_ESS_signing_cert_new_init(recipe.named_in_signing_cert, also, 1);
            size = i2d_ESS_SIGNING_CERT(sc, &der);
            ESS_SIGNING_CERT_free(sc);
        }
        int nid = recipe.v2 ? NID_id_smime_aa_signingCertificateV2 : NID_id_smime_aa_signingCertificate;
        EXPECT_EQ(CMS_signed_add1_attr_by_NID(si, nid, V_ASN1_SEQUENCE, der, size), 1);
        OPENSSL_free(der);
        sk_X509_free(also);
    }
    if (recipe.second_signer != nullptr) CMS_add1_signer(cms, recipe.second_signer, recipe.second_key, nullptr, CMS_BINARY);
    EXPECT_EQ(CMS_final(cms, in, nullptr, CMS_BINARY), 1);
    unsigned char* der = nullptr;
    int size = i2d_CMS_ContentInfo(cms, &der);
    Bytes token = Der(der, size);
    OPENSSL_free(der);
    CMS_ContentInfo_free(cms);
    BIO_free(in);
    sk_X509_free(certs);
    return der::Wrap(der::kSequence, {der::Wrap(der::kSequence, {der::SmallInteger(0)}), token});
}

class TimestampToken : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MakeTimestampQuery({1, 2, 3}, &query_));
        ca_key_ = NewKey();
        ca_ = NewCert(ca_key_.get(), "Test TSA Root", nullptr, nullptr,
                      {{NID_basic_constraints, "critical,CA:TRUE"}, {NID_key_usage, "critical,keyCertSign"}});
        tsa_key_ = NewKey();
        tsa_ = Leaf(tsa_key_.get(), "critical,timeStamping");
        ASSERT_TRUE(ca_ && tsa_);
    }
    Cert Leaf(EVP_PKEY* key, const char* eku) {
        std::vector<std::pair<int, std::string>> ext = {{NID_basic_constraints, "critical,CA:FALSE"}};
        if (eku != nullptr) ext.push_back({NID_ext_key_usage, eku});
        return NewCert(key, "Test TSA", ca_.get(), ca_key_.get(), ext);
    }
    int32_t Read(const Bytes& reply) {
        Bytes token;
        int32_t hr = ReadTimestampReply(reply, query_, &token);
        EXPECT_EQ(token.empty(), hr != kOk);
        return hr;
    }

    TimestampQuery query_;
    Key ca_key_, tsa_key_;
    Cert ca_, tsa_;
};

TEST_F(TimestampToken, SoundTokensAreAcceptedWithOrWithoutTheirRoot) {
    EXPECT_EQ(Read(Reply(query_, {tsa_.get(), tsa_key_.get(), {}})), kOk);
    EXPECT_EQ(Read(Reply(query_, {tsa_.get(), tsa_key_.get(), {ca_.get()}})), kOk);
    // signingCertificate v1 and v2 naming the TSA first, and then its root,
    // which the token need not carry.
    for (bool v2 : {false, true}) {
        TokenRecipe named{tsa_.get(), tsa_key_.get(), {}};
        named.named_in_signing_cert = tsa_.get();
        named.also_named = ca_.get();
        named.v2 = v2;
        EXPECT_EQ(Read(Reply(query_, named)), kOk) << v2;
    }
    // Beside the real issuer, a CA of the same name that did not sign it.
    Key other_key = NewKey();
    Cert namesake = NewCert(other_key.get(), "Test TSA Root", nullptr, nullptr,
                            {{NID_basic_constraints, "critical,CA:TRUE"}});
    EXPECT_EQ(Read(Reply(query_, {tsa_.get(), tsa_key_.get(), {namesake.get(), ca_.get()}})), kOk);
    // An extended key usage listing more than timeStamping, not critical.
    Cert loose = Leaf(tsa_key_.get(), "timeStamping,codeSigning");
    EXPECT_EQ(Read(Reply(query_, {loose.get(), tsa_key_.get(), {}})), kOk);
}

TEST_F(TimestampToken, TokensAVerifierRefusesAreRefused) {
    Key other_key = NewKey();
    Cert no_eku = Leaf(tsa_key_.get(), nullptr);
    Cert code_signing = Leaf(tsa_key_.get(), "critical,codeSigning");
    Cert other = Leaf(other_key.get(), "critical,timeStamping");
    // A CA of the same name whose key did not sign the TSA's certificate.
    Cert impostor = NewCert(other_key.get(), "Test TSA Root", nullptr, nullptr,
                            {{NID_basic_constraints, "critical,CA:TRUE"}});

    // The TSA's certificate with another key: same issuer and serial number.
    Cert twin(X509_dup(tsa_.get()));
    X509_set_pubkey(twin.get(), other_key.get());
    X509_sign(twin.get(), ca_key_.get(), EVP_sha256());
    TokenRecipe wrong_key{twin.get(), other_key.get(), {}};
    wrong_key.shown_as = tsa_.get();

    // The TSA's certificate, expired a minute ago.
    Cert expired(X509_dup(tsa_.get()));
    X509_gmtime_adj(X509_getm_notAfter(expired.get()), -60);
    X509_sign(expired.get(), ca_key_.get(), EVP_sha256());

    TokenRecipe names_other{tsa_.get(), tsa_key_.get(), {other.get()}};
    names_other.named_in_signing_cert = other.get();
    names_other.also_named = tsa_.get();
    TokenRecipe names_other_v2 = names_other;
    names_other_v2.v2 = true;
    TokenRecipe data_type{tsa_.get(), tsa_key_.get(), {}};
    data_type.tst_info_type = false;
    TokenRecipe two_signers{tsa_.get(), tsa_key_.get(), {}};
    two_signers.second_signer = other.get();
    two_signers.second_key = other_key.get();
    const struct {
        const char* what;
        TokenRecipe recipe;
    } cases[] = {
        {"no extended key usage", {no_eku.get(), tsa_key_.get(), {}}},
        {"code signing usage only", {code_signing.get(), tsa_key_.get(), {}}},
        {"signed with a key the certificate does not hold", wrong_key},
        {"signingCertificate names another certificate first", names_other},
        {"signingCertificateV2 names another certificate first", names_other_v2},
        {"issuer in the token did not sign the certificate", {tsa_.get(), tsa_key_.get(), {impostor.get()}}},
        {"content is not a TSTInfo", data_type},
        {"stamped after the certificate expired", {expired.get(), tsa_key_.get(), {}}},
        {"a second signer", two_signers},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Read(Reply(query_, c.recipe)), kTimeStampFailed) << c.what;
    }
}

// Where the signed parts of a reply lie: the encapsulated TSTInfo with its
// type, the signed attributes, and the signature value.
std::vector<std::pair<size_t, size_t>> SignedParts(const Bytes& reply) {
    using namespace der;
    std::vector<std::pair<size_t, size_t>> parts;
    auto span = [&](const uint8_t* from, size_t size) {
        parts.push_back({static_cast<size_t>(from - reply.data()), size});
    };
    Element resp, status, token, type, explicit0, sd, version, algs, encap, certs, infos, si, sv, sid, alg, attrs,
        sig_alg, sig;
    if (!ParseWhole(reply.data(), reply.size(), &resp)) return parts;
    Reader r(resp);
    if (!r.Next(&status) || !r.Next(&token)) return parts;
    Reader t(token);
    if (!t.Next(&type) || !t.Next(&explicit0)) return parts;
    Reader e(explicit0);
    if (!e.Next(&sd)) return parts;
    Reader d(sd);
    if (!d.Next(&version) || !d.Next(&algs) || !d.Next(&encap)) return parts;
    span(encap.start, encap.size);
    while (d.PeekTag() != kSet && d.Next(&certs)) {
    }
    if (!d.Next(&infos)) return parts;
    Reader i(infos);
    if (!i.Next(&si)) return parts;
    Reader f(si);
    if (!f.Next(&sv) || !f.Next(&sid) || !f.Next(&alg) || !f.Next(&attrs) || !f.Next(&sig_alg) || !f.Next(&sig)) {
        return parts;
    }
    span(attrs.start, attrs.size);
    span(sig.content, sig.content_size);
    return parts;
}

TEST_F(TimestampToken, EveryBitOfTheSignedPartsCounts) {
    // One bit at a time through the TSTInfo, the signed attributes and the
    // signature: no damaged reply may be accepted. The unsigned framing
    // (SignerInfo version, an algorithm identifier the key already implies,
    // the certificates' order) is not covered by the signature, and damage
    // to the certificates is exercised by the loopback server's modes.
    Bytes reply = Reply(query_, {tsa_.get(), tsa_key_.get(), {ca_.get()}});
    ASSERT_EQ(Read(reply), kOk);
    auto parts = SignedParts(reply);
    ASSERT_EQ(parts.size(), 3u);
    size_t tried = 0;
    for (const auto& [start, size] : parts) {
        for (size_t at = start; at < start + size; ++at) {
            for (int bit = 0; bit < 8; bit += 3) {
                Bytes damaged = reply;
                damaged[at] ^= static_cast<uint8_t>(1 << bit);
                ++tried;
                Bytes out;
                EXPECT_EQ(ReadTimestampReply(damaged, query_, &out), kTimeStampFailed)
                    << "byte " << at << " bit " << bit;
            }
        }
    }
    EXPECT_GT(tried, 3 * 200u);
}

}  // namespace
}  // namespace authenticode
