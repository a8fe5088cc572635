// The HTTP transport of the timestamp client, over libcurl.
#include "http_post.h"

#include <curl/curl.h>
#include <time.h>

#include "hresult.h"

namespace authenticode {

namespace {

struct Sink {
    Bytes* body;
    bool too_large;
};

size_t Collect(char* data, size_t size, size_t count, void* user) {
    Sink* sink = static_cast<Sink*>(user);
    size_t n = size * count;
    if (sink->body->size() + n > kMaxReplySize) {
        sink->too_large = true;
        return 0;  // makes curl stop with CURLE_WRITE_ERROR
    }
    sink->body->insert(sink->body->end(), data, data + n);
    return n;
}

int32_t CodeForCurl(CURLcode rc) {
    switch (rc) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return kInetNameNotResolved;
        case CURLE_COULDNT_CONNECT: return kInetCannotConnect;
        case CURLE_OPERATION_TIMEDOUT: return kInetTimeout;
        case CURLE_URL_MALFORMAT: return kInetInvalidUrl;
        case CURLE_UNSUPPORTED_PROTOCOL: return kInetUnrecognizedScheme;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE: return kInetSecureFailure;
        case CURLE_OUT_OF_MEMORY: return kOutOfMemory;
        case CURLE_TOO_MANY_REDIRECTS: return kInetRedirectFailed;
        case CURLE_WEIRD_SERVER_REPLY: return kInetInvalidServerResponse;
        default: return kInetConnectionAborted;
    }
}

bool IsTransient(int32_t code) {
    return code == kInetCannotConnect || code == kInetTimeout ||
           (code >= HttpStatusCode(500) && code <= HttpStatusCode(599));
}

int32_t PostOnce(const std::string& url, const Bytes& body, Bytes* reply) {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return kOutOfMemory;
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/timestamp-query");
    headers = curl_slist_append(headers, "Accept: application/timestamp-reply");
    Sink sink{reply, false};
    reply->clear();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // Servers move (often from http to https); the query is POSTed again to
    // where they point, a few hops at most.
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 3L);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kAttemptTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, reinterpret_cast<const char*>(body.data()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "quillmark-timestamp/1");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    long connects = 0;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (sink.too_large) return kTimeStampFailed;
    // curl refuses a reply without a status line (HTTP/0.9) as an
    // unsupported protocol. With a connection made and no status read, that
    // was the server's reply, not the URL's scheme.
    if (rc == CURLE_UNSUPPORTED_PROTOCOL && connects > 0 && status == 0) return kInetInvalidServerResponse;
    if (rc != CURLE_OK) return CodeForCurl(rc);
    if (status != 200) return HttpStatusCode(status);
    return kOk;
}

void Pause(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

}  // namespace

int32_t PostTimestampQuery(const std::string& url, const Bytes& body, Bytes* reply) {
    int32_t code = PostOnce(url, body, reply);
    if (IsTransient(code)) {
        Pause(kRetryPauseMs);
        code = PostOnce(url, body, reply);
    }
    return code;
}

}  // namespace authenticode
