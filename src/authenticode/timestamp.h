// The RFC 3161 timestamp client: the query over a signature value, the
// checks of the reply, and the token put into the signature.
#pragma once

#include <string>

#include "der.h"

namespace authenticode {

struct TimestampQuery {
    Bytes der;      // TimeStampReq
    Bytes nonce;    // the INTEGER's encoding
    Bytes imprint;  // SHA-256 of the signature value
};

// A TimeStampReq v1 for the SHA-256 of `signature_value`, with a random
// 64-bit nonce and certReq TRUE.
bool MakeTimestampQuery(const Bytes& signature_value, TimestampQuery* out);

// Checks a TimeStampResp against its query: status granted or
// grantedWithMods, a SignedData token whose TSTInfo has the query's nonce and
// SHA-256 imprint, and which verifies (TimestampTokenVerifies). Gives the
// token (a ContentInfo) as received, or TRUST_E_TIME_STAMP and no token.
int32_t ReadTimestampReply(const Bytes& reply, const TimestampQuery& query, Bytes* token);

// Timestamps the first SignerInfo of `pkcs7` through the server at `url`
// and gives the signature with the token as its RFC 3161 unsigned attribute.
int32_t AddTimestamp(const std::string& url, const Bytes& pkcs7, Bytes* out);

}  // namespace authenticode
