// The signer's certificate chain and private key from the user's NSS
// database, used through NSS so that keys on tokens work the same way.
#pragma once

#include <string>
#include <vector>

#include "der.h"
#include "signed_data.h"

namespace authenticode {

struct NssSigner;

// Opens `db_dir` read-only in an NSS context of its own (other contexts on
// the same database may be open in the process), finds the certificate whose
// DER is `certificate` and its private key. Logs in nowhere: a key behind a
// PIN fails at once. On success the chain (signer first, then intermediates,
// the root only with `include_root`) is in NssSignerChain.
int32_t OpenNssSigner(const std::string& db_dir, const Bytes& certificate, bool include_root,
                      NssSigner** out);
const std::vector<Bytes>& NssSignerChain(const NssSigner* signer);
KeyKind NssSignerKeyKind(const NssSigner* signer);
// PKCS#1 v1.5 (RSA) or a DER Ecdsa-Sig-Value (ECDSA) over a SHA-256 digest.
int32_t NssSignDigest(NssSigner* signer, const uint8_t digest[32], Bytes* signature);
// Releases every NSS object and shuts the context down. Null is fine.
void CloseNssSigner(NssSigner* signer);

}  // namespace authenticode
