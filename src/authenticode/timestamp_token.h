// Checking an RFC 3161 timestamp token the way a verifier will, before it
// is embedded in a signature.
#pragma once

#include "der.h"

namespace authenticode {

// True when `token` (a ContentInfo) is a SignedData over a TSTInfo with one
// SignerInfo whose signature verifies with the certificate it names, taken
// from the token's own certificates; whose messageDigest matches the
// TSTInfo; whose certificate has the timeStamping extended key usage and is
// the one its signingCertificate attribute (v1 or v2, when present) names,
// and was valid at the time the TSTInfo states; and whose certificate's
// issuer, when the token carries it, signed it.
// Whether the TSA's root is trusted is left to whoever verifies the file.
bool TimestampTokenVerifies(const Bytes& token);

}  // namespace authenticode
