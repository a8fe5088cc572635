// SignedData assembly and editing, checked through OpenSSL's own PKCS#7
// parser and signature verification with a key made for the test.
#include "signed_data.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "spc.h"

namespace authenticode {
namespace {

struct TestSigner {
    EVP_PKEY* key = nullptr;
    Bytes certificate;
    ~TestSigner() { EVP_PKEY_free(key); }
};

void MakeSigner(const char* type, TestSigner* out) {
    if (std::string(type) == "RSA") {
        out->key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048});
    } else {
        out->key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    }
    ASSERT_NE(out->key, nullptr);
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 0x1234567);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Unit Signer"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, out->key);
    ASSERT_GT(X509_sign(cert, out->key, EVP_sha256()), 0);
    int size = i2d_X509(cert, nullptr);
    out->certificate.resize(static_cast<size_t>(size));
    unsigned char* p = out->certificate.data();
    i2d_X509(cert, &p);
    X509_free(cert);
}

Bytes SignWithOpenSsl(EVP_PKEY* key, const Bytes& data) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t size = 0;
    EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key);
    EVP_DigestSign(ctx, nullptr, &size, data.data(), data.size());
    Bytes sig(size);
    EVP_DigestSign(ctx, sig.data(), &size, data.data(), data.size());
    sig.resize(size);
    EVP_MD_CTX_free(ctx);
    return sig;
}

Bytes MakeSignature(const TestSigner& signer, KeyKind kind, const AttributeChoice& choice) {
    uint8_t digest[32];
    for (int i = 0; i < 32; ++i) digest[i] = static_cast<uint8_t>(i * 7);
    SignedDataParts parts;
    parts.content = EncodePeIndirectData(digest);
    parts.certificates = {signer.certificate};
    EXPECT_TRUE(ReadIssuerAndSerial(signer.certificate, &parts.signer));
    parts.key = kind;
    parts.signed_attributes = EncodeSignedAttributes(parts.content, choice);
    parts.signature = SignWithOpenSsl(signer.key, parts.signed_attributes);
    return AssembleSignedData(parts);
}

PKCS7* Parse(const Bytes& der) {
    const unsigned char* p = der.data();
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(der.size()));
    EXPECT_EQ(p, der.data() + der.size());
    return p7;
}

std::string Text(const ASN1_OBJECT* object) {
    char buf[80];
    OBJ_obj2txt(buf, sizeof buf, object, 1);
    return buf;
}

void CheckSignature(const char* type, KeyKind kind) {
    TestSigner signer;
    MakeSigner(type, &signer);
    AttributeChoice choice;
    Bytes der = MakeSignature(signer, kind, choice);
    PKCS7* p7 = Parse(der);
    ASSERT_NE(p7, nullptr);
    ASSERT_TRUE(PKCS7_type_is_signed(p7));
    EXPECT_EQ(ASN1_INTEGER_get(p7->d.sign->version), 1);
    ASSERT_EQ(sk_X509_ALGOR_num(p7->d.sign->md_algs), 1);
    EXPECT_EQ(Text(sk_X509_ALGOR_value(p7->d.sign->md_algs, 0)->algorithm), "2.16.840.1.101.3.4.2.1");
    EXPECT_EQ(Text(p7->d.sign->contents->type), "1.3.6.1.4.1.311.2.1.4");
    ASSERT_EQ(sk_X509_num(p7->d.sign->cert), 1);
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7);
    ASSERT_EQ(sk_PKCS7_SIGNER_INFO_num(infos), 1);
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(infos, 0);
    X509* cert = sk_X509_value(p7->d.sign->cert, 0);
    EXPECT_EQ(X509_NAME_cmp(si->issuer_and_serial->issuer, X509_get_issuer_name(cert)), 0);
    EXPECT_EQ(ASN1_INTEGER_cmp(si->issuer_and_serial->serial, X509_get0_serialNumber(cert)), 0);

    // Exactly the four Authenticode attributes (no signingTime); their DER
    // order is checked by the verification below.
    std::vector<std::string> types;
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(si->auth_attr); ++i) {
        types.push_back(Text(X509_ATTRIBUTE_get0_object(sk_X509_ATTRIBUTE_value(si->auth_attr, i))));
    }
    std::sort(types.begin(), types.end());
    EXPECT_EQ(types, (std::vector<std::string>{"1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4",
                                               "1.3.6.1.4.1.311.2.1.11", "1.3.6.1.4.1.311.2.1.12"}));

    // messageDigest is over the SpcIndirectDataContent's content octets.
    ASN1_TYPE* content = p7->d.sign->contents->d.other;
    ASSERT_EQ(content->type, V_ASN1_SEQUENCE);
    const unsigned char* inner = ASN1_STRING_get0_data(content->value.sequence);
    der::Element whole;
    ASSERT_TRUE(der::ParseWhole(inner, static_cast<size_t>(ASN1_STRING_length(content->value.sequence)), &whole));
    Bytes expected = Sha256(whole.content, whole.content_size);
    ASN1_OCTET_STRING* md = PKCS7_digest_from_attributes(si->auth_attr);
    ASSERT_NE(md, nullptr);
    EXPECT_EQ(Bytes(md->data, md->data + md->length), expected);

    // OpenSSL's re-encoding of the attributes as a SET OF verifies with the key.
    unsigned char* attrs = nullptr;
    int attrs_size = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attrs,
                                   ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, signer.key);
    EXPECT_EQ(EVP_DigestVerify(ctx, si->enc_digest->data, static_cast<size_t>(si->enc_digest->length), attrs,
                               static_cast<size_t>(attrs_size)),
              1);
    EVP_MD_CTX_free(ctx);
    OPENSSL_free(attrs);
    PKCS7_free(p7);
}

TEST(SignedData, RsaSignatureParsesAndVerifies) { CheckSignature("RSA", KeyKind::kRsa); }
TEST(SignedData, EcdsaSignatureParsesAndVerifies) { CheckSignature("EC", KeyKind::kEcdsa); }

TEST(SignedData, AttributeChoices) {
    struct Case {
        AttributeChoice choice;
        Bytes opus;
        const char* statement;  // null: no Authenticode attributes
    };
    AttributeChoice named;
    named.opus = {true, u"Tool", true, "https://example.test/"};
    named.commercial = true;
    AttributeChoice bare;
    bare.authenticode = false;
    const Case cases[] = {
        {AttributeChoice{}, {0x30, 0x00}, "1.3.6.1.4.1.311.2.1.21"},
        {named, EncodeOpusInfo(named.opus), "1.3.6.1.4.1.311.2.1.22"},
        {bare, {}, nullptr},
    };
    Bytes content = EncodePeIndirectData(std::vector<uint8_t>(32, 1).data());
    for (const Case& c : cases) {
        Bytes set = EncodeSignedAttributes(content, c.choice);
        auto contains = [&set](const Bytes& needle) {
            return std::search(set.begin(), set.end(), needle.begin(), needle.end()) != set.end();
        };
        EXPECT_TRUE(contains(EncodeAttribute(oid::kContentType, der::Oid(oid::kSpcIndirectData))));
        if (c.statement != nullptr) {
            EXPECT_TRUE(contains(EncodeAttribute(oid::kSpcSpOpusInfo, c.opus)));
            EXPECT_TRUE(contains(EncodeAttribute(oid::kSpcStatementType,
                                                 der::Wrap(der::kSequence, {der::Oid(c.statement)}))));
        } else {
            EXPECT_FALSE(contains(der::Oid(oid::kSpcSpOpusInfo)));
            EXPECT_FALSE(contains(der::Oid(oid::kSpcStatementType)));
        }
    }
    // programName as [0] { unicode [0] BMPString }, moreInfo as [1] { url [0] IA5String }.
    EXPECT_EQ(EncodeOpusInfo({true, u"A", false, ""}), (Bytes{0x30, 0x06, 0xA0, 0x04, 0x80, 0x02, 0x00, 0x41}));
    EXPECT_EQ(EncodeOpusInfo({false, u"", true, "u"}), (Bytes{0x30, 0x05, 0xA1, 0x03, 0x80, 0x01, 'u'}));
}

TEST(SignedData, PeImageDataHasTheFormWindowsWrites) {
    Bytes digest(32, 0xEE);
    Bytes content = EncodePeIndirectData(digest.data());
    const Bytes expected_head = {0x30, 0x68, 0x30, 0x33, 0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02,
                                 0x01, 0x0F, 0x30, 0x25, 0x03, 0x01, 0x00, 0xA0, 0x20, 0xA2, 0x1E, 0x80, 0x1C, 0x00,
                                 0x3C, 0x00, 0x3C, 0x00, 0x3C, 0x00, 0x4F};
    ASSERT_GE(content.size(), expected_head.size());
    EXPECT_EQ(Bytes(content.begin(), content.begin() + static_cast<ptrdiff_t>(expected_head.size())), expected_head);
    EXPECT_EQ(Bytes(content.end() - 32, content.end()), digest);
}

// The encodings covered by the signature or the certificates: every
// SignedData field but the signerInfos, and the SignerInfo's fields.
std::vector<Bytes> SignedParts(const Bytes& pkcs7) {
    using namespace der;
    std::vector<Bytes> parts;
    Element ci, e0, sd, e;
    EXPECT_TRUE(ParseWhole(pkcs7.data(), pkcs7.size(), &ci));
    Reader top(ci);
    top.Next(&e);
    top.Next(&e0);
    Reader w(e0);
    w.Next(&sd);
    Reader fields(sd);
    std::vector<Element> children;
    while (fields.Next(&e)) children.push_back(e);
    for (size_t i = 0; i + 1 < children.size(); ++i) parts.push_back(children[i].Encoded());
    Reader set(children.back());
    Element si;
    set.Next(&si);
    Reader sif(si);
    while (sif.Next(&e)) {
        if (e.tag != ContextConstructed(1)) parts.push_back(e.Encoded());
    }
    EXPECT_GE(parts.size(), 9u);
    return parts;
}

TEST(SignedData, UnsignedAttributeIsAddedReplacedAndTheRestKept) {
    TestSigner signer;
    MakeSigner("RSA", &signer);
    Bytes original = MakeSignature(signer, KeyKind::kRsa, AttributeChoice{});
    Bytes value_one = der::Wrap(der::kSequence, {der::Oid("1.2.3.4")});
    Bytes value_two = der::Wrap(der::kSequence, {der::Oid("1.2.3.5")});

    Bytes once, other, twice;
    ASSERT_TRUE(SetUnsignedAttribute(original, oid::kRfc3161Timestamp, value_one, &once));
    ASSERT_TRUE(SetUnsignedAttribute(once, "1.3.6.1.4.1.311.2.4.1", value_one, &other));
    ASSERT_TRUE(SetUnsignedAttribute(other, oid::kRfc3161Timestamp, value_two, &twice));

    PKCS7* p7 = Parse(twice);
    ASSERT_NE(p7, nullptr);
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
    ASSERT_EQ(sk_X509_ATTRIBUTE_num(si->unauth_attr), 2);
    int timestamps = 0;
    for (int i = 0; i < 2; ++i) {
        X509_ATTRIBUTE* a = sk_X509_ATTRIBUTE_value(si->unauth_attr, i);
        if (Text(X509_ATTRIBUTE_get0_object(a)) == oid::kRfc3161Timestamp) {
            ++timestamps;
            ASN1_TYPE* t = X509_ATTRIBUTE_get0_type(a, 0);
            ASSERT_EQ(t->type, V_ASN1_SEQUENCE);
            Bytes got(t->value.sequence->data, t->value.sequence->data + t->value.sequence->length);
            EXPECT_EQ(got, value_two);
        }
    }
    EXPECT_EQ(timestamps, 1);
    PKCS7_free(p7);

    // Everything before the unsigned attributes is byte for byte the original.
    Bytes sig_before, sig_after;
    ASSERT_TRUE(ReadSignatureValue(original, &sig_before));
    ASSERT_TRUE(ReadSignatureValue(twice, &sig_after));
    EXPECT_EQ(sig_before, sig_after);
    for (const Bytes& part : SignedParts(original)) {
        EXPECT_NE(std::search(twice.begin(), twice.end(), part.begin(), part.end()), twice.end());
    }
}

TEST(SignedData, MalformedInputsAreRefused) {
    TestSigner signer;
    MakeSigner("EC", &signer);
    Bytes good = MakeSignature(signer, KeyKind::kEcdsa, AttributeChoice{});
    Bytes value = {0x30, 0x00};
    Bytes out, sig;
    std::vector<Bytes> bad = {{}, {0x30, 0x00}, Bytes(good.begin(), good.end() - 1), der::Wrap(der::kSequence, {der::Oid("1.2.840.113549.1.7.1")})};
    Bytes trailing = good;
    trailing.push_back(0);
    bad.push_back(trailing);
    for (const Bytes& b : bad) {
        EXPECT_FALSE(SetUnsignedAttribute(b, oid::kRfc3161Timestamp, value, &out)) << b.size();
        EXPECT_FALSE(ReadSignatureValue(b, &sig)) << b.size();
    }
    IssuerAndSerial id;
    EXPECT_FALSE(ReadIssuerAndSerial(Bytes{0x30, 0x03, 0x02, 0x01, 0x01}, &id));
}

}  // namespace
}  // namespace authenticode
