// SHA-256 over data that arrives in pieces (the formats' streaming digests).
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>

namespace authenticode {

class Sha256Stream {
public:
    Sha256Stream() : ctx_(EVP_MD_CTX_new()) {
        if (ctx_ != nullptr && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) Reset();
    }
    ~Sha256Stream() { Reset(); }
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;

    bool ok() const { return ctx_ != nullptr; }
    void Update(const uint8_t* data, size_t size) {
        if (ctx_ != nullptr && size != 0 && EVP_DigestUpdate(ctx_, data, size) != 1) Reset();
    }
    // False when any step failed.
    bool Final(uint8_t digest[32]) {
        unsigned int length = 0;
        bool good = ctx_ != nullptr && EVP_DigestFinal_ex(ctx_, digest, &length) == 1 && length == 32;
        Reset();
        return good;
    }

private:
    void Reset() {
        EVP_MD_CTX_free(ctx_);
        ctx_ = nullptr;
    }
    EVP_MD_CTX* ctx_;
};

}  // namespace authenticode
