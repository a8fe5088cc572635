// Posting a timestamp query over HTTP or HTTPS, with bounded time and one
// retry of a transient failure.
#pragma once

#include <string>

#include "der.h"

namespace authenticode {

// Bounds of one attempt. A server that accepts the connection but never
// answers costs two attempts and the pause between them.
constexpr long kConnectTimeoutMs = 10000;
constexpr long kAttemptTimeoutMs = 10000;
constexpr long kRetryPauseMs = 1000;
constexpr size_t kMaxReplySize = 1 << 20;

// POSTs `body` as application/timestamp-query and gives the body of a 200
// reply, following up to three redirects (http and https only). A refused connection, a timeout or an HTTP 5xx is tried once more.
// Codes: unreachable/refused 0x80072EFD, name not resolved 0x80072EE7, timed
// out 0x80072EE2, bad URL 0x80072EE5, scheme other than http/https
// 0x80072EE6, TLS failure 0x80072F8F, connection dropped 0x80072EFE, too
// many redirects 0x80072F7C, a reply that is not HTTP (no status line)
// 0x80072F78, an HTTP status other than 200 as HTTP_E_STATUS (0x80190000 |
// status), an oversized body TRUST_E_TIME_STAMP.
int32_t PostTimestampQuery(const std::string& url, const Bytes& body, Bytes* reply);

}  // namespace authenticode
