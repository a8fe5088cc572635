// Fuzz entry for the timestamp reply parser and the token verification:
// any bytes, as a TimeStampResp to a fixed query and as a bare token, must
// give either success or TRUST_E_TIME_STAMP, never a crash or a read
// outside the buffer; a reply is only accepted with a token cut from it.
// The seeds (corpus/timestamp_reply) answer the same fixed query, so
// mutations reach the verification rather than stopping at the nonce.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "authenticode/hresult.h"
#include "authenticode/signed_data.h"
#include "authenticode/timestamp.h"
#include "authenticode/timestamp_token.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

// Must match make_timestamp_reply_seeds.py.
const char kImprintOf[] = "quillmark timestamp fuzz seed";
const authenticode::Bytes kNonce = {0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48};

const authenticode::TimestampQuery& Query() {
    static const authenticode::TimestampQuery query = [] {
        authenticode::TimestampQuery q;
        q.imprint = authenticode::Sha256(reinterpret_cast<const uint8_t*>(kImprintOf), std::strlen(kImprintOf));
        q.nonce = authenticode::der::UnsignedInteger(kNonce);
        return q;
    }();
    return query;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    authenticode::Bytes input(data, data + size);
    authenticode::Bytes token;
    int32_t hr = authenticode::ReadTimestampReply(input, Query(), &token);
    Check(hr == authenticode::kOk || hr == authenticode::kTimeStampFailed);
    if (hr == authenticode::kOk) {
        Check(!token.empty() && token.size() < size);
        Check(std::search(input.begin(), input.end(), token.begin(), token.end()) != input.end());
        Check(authenticode::TimestampTokenVerifies(token));
    } else {
        Check(token.empty());
    }
    // The same bytes as a token on its own.
    authenticode::TimestampTokenVerifies(input);
    return 0;
}
