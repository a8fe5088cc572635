// RFC 3161 query and reply handling (the reply is parsed with OpenSSL's TS
// code; the token is verified, then kept byte for byte as the server sent
// it).
#include "timestamp.h"

#include <algorithm>
#include <utility>

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include "hresult.h"
#include "http_post.h"
#include "signed_data.h"
#include "spc.h"
#include "timestamp_token.h"

namespace authenticode {

namespace {

bool NonceMatches(const TS_TST_INFO* info, const Bytes& nonce_der) {
    const ASN1_INTEGER* got = TS_TST_INFO_get_nonce(info);
    if (got == nullptr) return false;
    const unsigned char* p = nonce_der.data();
    ASN1_INTEGER* want = d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(nonce_der.size()));
    bool same = want != nullptr && ASN1_INTEGER_cmp(got, want) == 0;
    ASN1_INTEGER_free(want);
    return same;
}

bool ImprintMatches(const TS_TST_INFO* info, const Bytes& imprint) {
    TS_MSG_IMPRINT* mi = TS_TST_INFO_get_msg_imprint(const_cast<TS_TST_INFO*>(info));
    if (mi == nullptr) return false;
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(mi));
    if (algorithm == nullptr || OBJ_obj2nid(algorithm) != NID_sha256) return false;
    const ASN1_OCTET_STRING* digest = TS_MSG_IMPRINT_get_msg(mi);
    return digest != nullptr && static_cast<size_t>(ASN1_STRING_length(digest)) == imprint.size() &&
           std::equal(imprint.begin(), imprint.end(), ASN1_STRING_get0_data(digest));
}

// The token as the server encoded it: the second element of TimeStampResp.
bool RawToken(const Bytes& reply, Bytes* token) {
    using namespace der;
    Element resp, status, content;
    if (!ParseWhole(reply.data(), reply.size(), &resp) || resp.tag != kSequence) return false;
    Reader r(resp);
    if (!r.Expect(kSequence, &status) || !r.Expect(kSequence, &content) || !r.AtEnd()) return false;
    Reader ci(content);
    Element type;
    if (!ci.Expect(kOid, &type) || type.Encoded() != Oid(oid::kSignedData)) return false;
    *token = content.Encoded();
    return true;
}

}  // namespace

bool MakeTimestampQuery(const Bytes& signature_value, TimestampQuery* out) {
    using namespace der;
    out->imprint.assign(SHA256_DIGEST_LENGTH, 0);
    SHA256(signature_value.data(), signature_value.size(), out->imprint.data());
    Bytes nonce(8);
    if (RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1) return false;
    nonce[0] = static_cast<uint8_t>((nonce[0] & 0x7F) | 0x40);  // positive, full length
    out->nonce = UnsignedInteger(nonce);
    Bytes imprint = Wrap(kSequence, {Wrap(kSequence, {Oid(oid::kSha256), Null()}), OctetString(out->imprint)});
    out->der = Wrap(kSequence, {SmallInteger(1), imprint, out->nonce, Bytes{kBoolean, 0x01, 0xFF}});
    return true;
}

int32_t ReadTimestampReply(const Bytes& reply, const TimestampQuery& query, Bytes* token) {
    const unsigned char* p = reply.data();
    TS_RESP* resp = d2i_TS_RESP(nullptr, &p, static_cast<long>(reply.size()));
    if (resp == nullptr) return kTimeStampFailed;
    bool ok = p == reply.data() + reply.size();
    if (ok) {
        long status = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(resp)));
        ok = status == 0 || status == 1;  // granted, grantedWithMods
    }
    TS_TST_INFO* info = ok ? TS_RESP_get_tst_info(resp) : nullptr;
    Bytes raw;
    ok = ok && TS_RESP_get_token(resp) != nullptr && info != nullptr && NonceMatches(info, query.nonce) &&
         ImprintMatches(info, query.imprint) && RawToken(reply, &raw) && TimestampTokenVerifies(raw);
    TS_RESP_free(resp);
    if (!ok) return kTimeStampFailed;
    *token = std::move(raw);
    return kOk;
}

int32_t AddTimestamp(const std::string& url, const Bytes& pkcs7, Bytes* out) {
    Bytes signature_value;
    if (!ReadSignatureValue(pkcs7, &signature_value)) return kBadSignatureFormat;
    TimestampQuery query;
    if (!MakeTimestampQuery(signature_value, &query)) return kSignFailed;
    Bytes reply;
    int32_t code = PostTimestampQuery(url, query.der, &reply);
    if (code != kOk) return code;
    Bytes token;
    code = ReadTimestampReply(reply, query, &token);
    if (code != kOk) return code;
    if (!SetUnsignedAttribute(pkcs7, oid::kRfc3161Timestamp, token, out)) return kBadSignatureFormat;
    return kOk;
}

}  // namespace authenticode
