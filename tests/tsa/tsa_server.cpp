// A loopback RFC 3161 timestamp server for the tests. It binds 127.0.0.1 on
// an ephemeral port, prints the port on standard output, answers with
// OpenSSL's TS responder, and stops by itself after a number of requests or
// seconds. A mode makes it fail the way the client must survive:
//   ok            a granted timestamp
//   mods          a granted timestamp with status grantedWithMods
//   late          refuses connections for the first 400 ms, then as ok
//   refuse        never accepts a connection
//   stall         reads the request and never answers
//   http500       answers HTTP 500
//   http500-once  answers HTTP 500 to the first request, then as ok
//   redirect      sends the first request elsewhere on itself (301), then as ok
//   garbage       HTTP 200 with a body that is not a timestamp reply
//   wrong-nonce   a timestamp for another nonce
//   wrong-imprint a timestamp for another imprint
//   reject        a reply with status rejection and no token
// Usage: tsa_server --cert tsa.pem --key tsa.key --chain tsa-chain.pem
//                   --mode MODE [--requests N] [--seconds T]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

struct Options {
    std::string cert, key, chain, mode = "ok";
    int requests = 1;
    int seconds = 20;
};

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int MillisLeft(double deadline) {
    double left = deadline - Now();
    return left <= 0 ? 0 : static_cast<int>(left * 1000) + 1;
}

TS_RESP_CTX* MakeResponder(const Options& o) {
    FILE* f = fopen(o.cert.c_str(), "r");
    X509* cert = f ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
    if (f) fclose(f);
    f = fopen(o.key.c_str(), "r");
    EVP_PKEY* key = f ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
    if (f) fclose(f);
    STACK_OF(X509)* chain = sk_X509_new_null();
    f = fopen(o.chain.c_str(), "r");
    while (f) {
        X509* c = PEM_read_X509(f, nullptr, nullptr, nullptr);
        if (c == nullptr) break;
        sk_X509_push(chain, c);
    }
    if (f) fclose(f);
    ERR_clear_error();
    if (cert == nullptr || key == nullptr) return nullptr;
    TS_RESP_CTX* ctx = TS_RESP_CTX_new();
    ASN1_OBJECT* policy = OBJ_txt2obj("1.3.6.1.4.1.99999.1", 1);
    bool ok = TS_RESP_CTX_set_signer_cert(ctx, cert) && TS_RESP_CTX_set_signer_key(ctx, key) &&
              TS_RESP_CTX_set_certs(ctx, chain) && TS_RESP_CTX_set_def_policy(ctx, policy) &&
              TS_RESP_CTX_add_md(ctx, EVP_sha256()) && TS_RESP_CTX_set_signer_digest(ctx, EVP_sha256()) &&
              TS_RESP_CTX_set_accuracy(ctx, 1, 0, 0);
    ASN1_OBJECT_free(policy);
    X509_free(cert);
    EVP_PKEY_free(key);
    sk_X509_pop_free(chain, X509_free);
    if (!ok) {
        TS_RESP_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

// Rewrites the query the way a mode asks before the responder sees it.
Bytes AlterQuery(const Bytes& query, const std::string& mode) {
    if (mode != "wrong-nonce" && mode != "wrong-imprint") return query;
    const unsigned char* p = query.data();
    TS_REQ* req = d2i_TS_REQ(nullptr, &p, static_cast<long>(query.size()));
    if (req == nullptr) return query;
    if (mode == "wrong-nonce") {
        ASN1_INTEGER* other = ASN1_INTEGER_new();
        ASN1_INTEGER_set(other, 424242);
        TS_REQ_set_nonce(req, other);
        ASN1_INTEGER_free(other);
    } else {
        ASN1_OCTET_STRING* digest = TS_MSG_IMPRINT_get_msg(TS_REQ_get_msg_imprint(req));
        if (ASN1_STRING_length(digest) > 0) digest->data[0] ^= 0xFF;
    }
    Bytes out(static_cast<size_t>(i2d_TS_REQ(req, nullptr)));
    unsigned char* w = out.data();
    i2d_TS_REQ(req, &w);
    TS_REQ_free(req);
    return out;
}

Bytes Timestamp(TS_RESP_CTX* ctx, const Bytes& query) {
    BIO* in = BIO_new_mem_buf(query.data(), static_cast<int>(query.size()));
    TS_RESP* resp = TS_RESP_create_response(ctx, in);
    BIO_free(in);
    Bytes out;
    if (resp != nullptr) {
        out.resize(static_cast<size_t>(i2d_TS_RESP(resp, nullptr)));
        unsigned char* w = out.data();
        i2d_TS_RESP(resp, &w);
        TS_RESP_free(resp);
    }
    return out;
}

void SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

void Reply(int fd, int status, const char* type, const Bytes& body) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Error") +
                       "\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\nConnection: close\r\n\r\n";
    SendAll(fd, head + std::string(body.begin(), body.end()));
}

// Reads one HTTP request; false when the peer went away or the deadline passed.
bool ReadRequest(int fd, double deadline, std::string* headers, Bytes* body) {
    std::string data;
    size_t header_end = std::string::npos;
    size_t length = 0;
    char buf[4096];
    while (true) {
        if (header_end == std::string::npos) {
            header_end = data.find("\r\n\r\n");
            if (header_end != std::string::npos) {
                *headers = data.substr(0, header_end);
                std::string lower = *headers;
                for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
                size_t at = lower.find("content-length:");
                if (at != std::string::npos) length = strtoul(lower.c_str() + at + 15, nullptr, 10);
                if (length > 65536) return false;
            }
        }
        if (header_end != std::string::npos && data.size() >= header_end + 4 + length) {
            body->assign(data.begin() + static_cast<long>(header_end + 4),
                         data.begin() + static_cast<long>(header_end + 4 + length));
            return true;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, MillisLeft(deadline)) <= 0) return false;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0 || data.size() > 100000) return false;
        data.append(buf, static_cast<size_t>(n));
        // Not HTTP (a TLS hello, say): hang up at once.
        if (data[0] < 'A' || data[0] > 'Z') return false;
    }
}

void Serve(int fd, TS_RESP_CTX* ctx, const std::string& mode, int index, int port, double deadline) {
    std::string headers;
    Bytes query;
    if (!ReadRequest(fd, deadline, &headers, &query)) return;
    std::string lower = headers;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (lower.rfind("post ", 0) != 0 || lower.find("content-type: application/timestamp-query") == std::string::npos) {
        Reply(fd, 415, "text/plain", Bytes{'n', 'o'});
        return;
    }
    if (mode == "stall") {
        // Hold the connection until the client gives up or time runs out.
        char c;
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, MillisLeft(deadline)) > 0 && recv(fd, &c, 1, 0) > 0) {
        }
        return;
    }
    if (mode == "http500" || (mode == "http500-once" && index == 0)) {
        Reply(fd, 500, "text/plain", Bytes{'b', 'u', 's', 'y'});
        return;
    }
    if (mode == "redirect" && index == 0) {
        std::string head = "HTTP/1.1 301 Moved\r\nLocation: http://127.0.0.1:" + std::to_string(port) +
                           "/moved\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        SendAll(fd, head);
        return;
    }
    if (mode == "garbage") {
        const char* text = "this is not a timestamp reply";
        Reply(fd, 200, "application/timestamp-reply", Bytes(text, text + strlen(text)));
        return;
    }
    if (mode == "reject") {
        Reply(fd, 200, "application/timestamp-reply", Bytes{0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x02});
        return;
    }
    Bytes reply = Timestamp(ctx, AlterQuery(query, mode));
    if (mode == "mods") {
        // TimeStampResp starts 30 82 LL LL 30 03 02 01 <status>.
        if (reply.size() > 8 && reply[4] == 0x30 && reply[6] == 0x02 && reply[8] == 0x00) reply[8] = 0x01;
    }
    Reply(fd, reply.empty() ? 500 : 200, "application/timestamp-reply", reply);
}

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--cert") o->cert = v;
        else if (k == "--key") o->key = v;
        else if (k == "--chain") o->chain = v;
        else if (k == "--mode") o->mode = v;
        else if (k == "--requests") o->requests = atoi(v.c_str());
        else if (k == "--seconds") o->seconds = atoi(v.c_str());
        else return false;
    }
    return argc % 2 == 1 && o->seconds > 0 && o->seconds <= 120 && o->requests > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        fprintf(stderr, "usage: tsa_server --cert F --key F --chain F --mode M [--requests N] [--seconds T]\n");
        return 2;
    }
    TS_RESP_CTX* ctx = MakeResponder(o);
    if (ctx == nullptr) {
        fprintf(stderr, "tsa_server: cannot load the TSA certificate or key\n");
        return 2;
    }
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        perror("tsa_server: bind");
        return 2;
    }
    double deadline = Now() + o.seconds;
    // Listening before the port is announced, so that a quick client is not
    // refused (and retried into the wrong reply); only the modes that must
    // refuse at first announce a socket that is not listening yet.
    bool refuses_first = o.mode == "refuse" || o.mode == "late";
    if (!refuses_first && listen(listener, 8) != 0) return 2;
    printf("%d\n", ntohs(addr.sin_port));
    fflush(stdout);
    // A bound socket that is not listening refuses connections.
    if (o.mode == "refuse") {
        while (MillisLeft(deadline) > 0) poll(nullptr, 0, MillisLeft(deadline));
        return 0;
    }
    // Well inside the client's 1 s pause before its one retry, even on a busy machine.
    if (o.mode == "late") poll(nullptr, 0, 400);
    if (refuses_first && listen(listener, 8) != 0) return 2;
    for (int served = 0; served < o.requests && MillisLeft(deadline) > 0; ++served) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, MillisLeft(deadline)) <= 0) break;
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        Serve(fd, ctx, o.mode, served, ntohs(addr.sin_port), deadline);
        close(fd);
    }
    close(listener);
    TS_RESP_CTX_free(ctx);
    return 0;
}
