// A private key held in this process's memory and used through OpenSSL,
// for keys of the database's own software token: NSS's RSA takes about
// 5 ms a signature there (10 ms for the first), OpenSSL's about 2 ms. The
// key arrives as an encrypted PKCS#8 blob with a one-off password (the only
// form NSS lets a sensitive key leave its token in) and is kept only after
// it proves to be the certificate's key; every signature is verified with
// the certificate's public key before it is handed out.
#pragma once

#include <cstdint>
#include <string>

#include "der.h"
#include "signed_data.h"

namespace authenticode {

struct MemoryKey;

// Null unless the blob decrypts to a key of `kind` whose public half is the
// certificate's (`certificate`: DER).
MemoryKey* LoadMemoryKey(const Bytes& encrypted_pkcs8, const std::string& password, const Bytes& certificate,
                         KeyKind kind);
void FreeMemoryKey(MemoryKey* key);
// PKCS#1 v1.5 (RSA) or a DER Ecdsa-Sig-Value (ECDSA) over a SHA-256
// digest; false when signing fails or the result does not verify.
bool MemoryKeySign(MemoryKey* key, const uint8_t digest[32], Bytes* signature);

}  // namespace authenticode
