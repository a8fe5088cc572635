// A key in memory is taken only when it is the certificate's key of the
// kind asked for and the password opens it; what it signs verifies.
#include "memory_key.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <string>

namespace authenticode {
namespace {

EVP_PKEY* NewKey(KeyKind kind) {
    return kind == KeyKind::kRsa ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048})
                                 : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
}

Bytes SelfSignedCertificate(EVP_PKEY* key) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Memory Key Test"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    unsigned char* der = nullptr;
    int size = i2d_X509(cert, &der);
    Bytes out(der, der + (size > 0 ? size : 0));
    OPENSSL_free(der);
    X509_free(cert);
    return out;
}

Bytes EncryptedPkcs8(EVP_PKEY* key, const std::string& password) {
    PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
    X509_SIG* sealed = PKCS8_encrypt(-1, EVP_aes_256_cbc(), password.data(), static_cast<int>(password.size()),
                                     nullptr, 0, 1, info);
    unsigned char* der = nullptr;
    int size = i2d_X509_SIG(sealed, &der);
    Bytes out(der, der + (size > 0 ? size : 0));
    OPENSSL_free(der);
    X509_SIG_free(sealed);
    PKCS8_PRIV_KEY_INFO_free(info);
    return out;
}

bool Verifies(const Bytes& certificate, const uint8_t digest[32], const Bytes& signature) {
    const unsigned char* p = certificate.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(certificate.size()));
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(X509_get0_pubkey(cert), nullptr);
    bool ok = EVP_PKEY_verify_init(ctx) > 0 && EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) > 0 &&
              EVP_PKEY_verify(ctx, signature.data(), signature.size(), digest, 32) == 1;
    EVP_PKEY_CTX_free(ctx);
    X509_free(cert);
    return ok;
}

TEST(MemoryKey, SignsOnlyWithTheCertificatesOwnKey) {
    for (KeyKind kind : {KeyKind::kRsa, KeyKind::kEcdsa}) {
        SCOPED_TRACE(kind == KeyKind::kRsa ? "RSA" : "ECDSA");
        EVP_PKEY* key = NewKey(kind);
        EVP_PKEY* other = NewKey(kind);
        ASSERT_NE(key, nullptr);
        ASSERT_NE(other, nullptr);
        Bytes certificate = SelfSignedCertificate(key);
        Bytes sealed = EncryptedPkcs8(key, "secret");
        KeyKind wrong_kind = kind == KeyKind::kRsa ? KeyKind::kEcdsa : KeyKind::kRsa;

        EXPECT_EQ(LoadMemoryKey(sealed, "not the secret", certificate, kind), nullptr);
        EXPECT_EQ(LoadMemoryKey(EncryptedPkcs8(other, "secret"), "secret", certificate, kind), nullptr);
        EXPECT_EQ(LoadMemoryKey(sealed, "secret", certificate, wrong_kind), nullptr);
        EXPECT_EQ(LoadMemoryKey(Bytes(sealed.begin(), sealed.end() - 1), "secret", certificate, kind), nullptr);
        EXPECT_EQ(LoadMemoryKey(sealed, "secret", Bytes{0x30, 0x00}, kind), nullptr);

        MemoryKey* loaded = LoadMemoryKey(sealed, "secret", certificate, kind);
        ASSERT_NE(loaded, nullptr);
        uint8_t digest[32];
        for (int i = 0; i < 32; ++i) digest[i] = static_cast<uint8_t>(i * 7);
        Bytes signature;
        ASSERT_TRUE(MemoryKeySign(loaded, digest, &signature));
        EXPECT_TRUE(Verifies(certificate, digest, signature));
        if (kind == KeyKind::kRsa) {
            EXPECT_EQ(signature.size(), 256u);
        }
        FreeMemoryKey(loaded);
        EVP_PKEY_free(key);
        EVP_PKEY_free(other);
    }
}

}  // namespace
}  // namespace authenticode
