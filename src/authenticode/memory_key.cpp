// OpenSSL side of a key kept in memory: decrypting the exported key,
// matching it against the certificate, signing and checking each signature.
#include "memory_key.h"

#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace authenticode {

struct MemoryKey {
    EVP_PKEY* key = nullptr;
    EVP_PKEY* public_key = nullptr;  // the certificate's
    KeyKind kind = KeyKind::kRsa;
};

namespace {

EVP_PKEY* DecryptKey(const Bytes& encrypted_pkcs8, const std::string& password) {
    const unsigned char* p = encrypted_pkcs8.data();
    X509_SIG* sealed = d2i_X509_SIG(nullptr, &p, static_cast<long>(encrypted_pkcs8.size()));
    if (sealed == nullptr) return nullptr;
    PKCS8_PRIV_KEY_INFO* info = PKCS8_decrypt(sealed, password.data(), static_cast<int>(password.size()));
    X509_SIG_free(sealed);
    if (info == nullptr) return nullptr;
    EVP_PKEY* key = EVP_PKCS82PKEY(info);
    PKCS8_PRIV_KEY_INFO_free(info);  // frees the key material cleared
    return key;
}

EVP_PKEY* CertificateKey(const Bytes& certificate) {
    const unsigned char* p = certificate.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(certificate.size()));
    if (cert == nullptr) return nullptr;
    EVP_PKEY* key = X509_get_pubkey(cert);
    X509_free(cert);
    return key;
}

bool SetUp(EVP_PKEY_CTX* ctx, KeyKind kind) {
    if (ctx == nullptr) return false;
    if (kind == KeyKind::kRsa && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) <= 0) return false;
    return EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) > 0;
}

bool Verify(const MemoryKey* key, const uint8_t digest[32], const Bytes& signature) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key->public_key, nullptr);
    bool ok = ctx != nullptr && EVP_PKEY_verify_init(ctx) > 0 && SetUp(ctx, key->kind) &&
              EVP_PKEY_verify(ctx, signature.data(), signature.size(), digest, 32) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

}  // namespace

MemoryKey* LoadMemoryKey(const Bytes& encrypted_pkcs8, const std::string& password, const Bytes& certificate,
                         KeyKind kind) {
    MemoryKey* key = new MemoryKey;
    key->kind = kind;
    key->key = DecryptKey(encrypted_pkcs8, password);
    key->public_key = CertificateKey(certificate);
    int want = kind == KeyKind::kRsa ? EVP_PKEY_RSA : EVP_PKEY_EC;
    if (key->key == nullptr || key->public_key == nullptr || EVP_PKEY_get_base_id(key->key) != want ||
        EVP_PKEY_eq(key->key, key->public_key) != 1) {
        FreeMemoryKey(key);
        return nullptr;
    }
    return key;
}

void FreeMemoryKey(MemoryKey* key) {
    if (key == nullptr) return;
    EVP_PKEY_free(key->key);
    EVP_PKEY_free(key->public_key);
    delete key;
}

bool MemoryKeySign(MemoryKey* key, const uint8_t digest[32], Bytes* signature) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key->key, nullptr);
    size_t size = 0;
    bool ok = ctx != nullptr && EVP_PKEY_sign_init(ctx) > 0 && SetUp(ctx, key->kind) &&
              EVP_PKEY_sign(ctx, nullptr, &size, digest, 32) > 0;
    if (ok) {
        signature->resize(size);
        ok = EVP_PKEY_sign(ctx, signature->data(), &size, digest, 32) > 0;
        signature->resize(ok ? size : 0);
    }
    EVP_PKEY_CTX_free(ctx);
    return ok && Verify(key, digest, *signature);
}

}  // namespace authenticode
