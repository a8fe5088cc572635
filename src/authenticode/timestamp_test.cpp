// The RFC 3161 query as OpenSSL's TS code reads it, and replies that are
// not replies at all. Replies from a real responder are exercised against
// the loopback server in tests/authenticode.
#include "timestamp.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include "hresult.h"
#include "signed_data.h"

namespace authenticode {
namespace {

TEST(Timestamp, QueryCarriesImprintNonceAndCertReq) {
    Bytes signature = {1, 2, 3, 4, 5};
    TimestampQuery q1, q2;
    ASSERT_TRUE(MakeTimestampQuery(signature, &q1));
    ASSERT_TRUE(MakeTimestampQuery(signature, &q2));
    EXPECT_NE(q1.nonce, q2.nonce);
    EXPECT_EQ(q1.imprint, Sha256(signature.data(), signature.size()));

    const unsigned char* p = q1.der.data();
    TS_REQ* req = d2i_TS_REQ(nullptr, &p, static_cast<long>(q1.der.size()));
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(p, q1.der.data() + q1.der.size());
    EXPECT_EQ(TS_REQ_get_version(req), 1);
    EXPECT_EQ(TS_REQ_get_cert_req(req), 1);
    EXPECT_EQ(TS_REQ_get_policy_id(req), nullptr);
    const ASN1_INTEGER* nonce = TS_REQ_get_nonce(req);
    ASSERT_NE(nonce, nullptr);
    EXPECT_GT(ASN1_STRING_length(nonce), 0);
    EXPECT_EQ(ASN1_STRING_type(nonce), V_ASN1_INTEGER);  // positive
    TS_MSG_IMPRINT* mi = TS_REQ_get_msg_imprint(req);
    const ASN1_OBJECT* alg = nullptr;
    X509_ALGOR_get0(&alg, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(mi));
    EXPECT_EQ(OBJ_obj2nid(alg), NID_sha256);
    ASN1_OCTET_STRING* digest = TS_MSG_IMPRINT_get_msg(mi);
    EXPECT_EQ(Bytes(digest->data, digest->data + digest->length), q1.imprint);
    TS_REQ_free(req);
}

TEST(Timestamp, RepliesThatAreNotTimestampsAreRefused) {
    TimestampQuery q;
    ASSERT_TRUE(MakeTimestampQuery({9}, &q));
    // A rejection {status 2} without a token, garbage, and a granted status
    // with no token.
    const std::vector<Bytes> replies = {
        {},
        {0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x02},
        {0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x00},
        {'<', 'h', 't', 'm', 'l', '>'},
        q.der,
    };
    for (const Bytes& r : replies) {
        Bytes token;
        EXPECT_EQ(ReadTimestampReply(r, q, &token), kTimeStampFailed) << r.size();
        EXPECT_TRUE(token.empty());
    }
}

}  // namespace
}  // namespace authenticode
