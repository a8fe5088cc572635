// The signer's certificate chain and private key from the user's NSS
// database, used through NSS so that keys on tokens work the same way.
#pragma once

#include <string>
#include <vector>

#include "der.h"
#include "signed_data.h"

namespace authenticode {

struct NssSigner;

// The signer for the certificate whose DER is `certificate`, from the
// database in `db_dir` (opened once per process, shared with the program's
// store): the private key from the token that holds the certificate, logged
// in to with a PIN from pin_entry.h when the token needs one (once per token
// and process), and the chain (signer first, then intermediates, the root
// only with `include_root`). Kept for the rest of the process and handed out
// again for the same certificate; the caller does not free it.
int32_t AcquireNssSigner(const std::string& db_dir, const Bytes& certificate, bool include_root,
                         NssSigner** out);
const std::vector<Bytes>& NssSignerChain(const NssSigner* signer);
KeyKind NssSignerKeyKind(const NssSigner* signer);
// PKCS#1 v1.5 (RSA) or a DER Ecdsa-Sig-Value (ECDSA) over a SHA-256 digest.
int32_t NssSignDigest(NssSigner* signer, const uint8_t digest[32], Bytes* signature);

}  // namespace authenticode
