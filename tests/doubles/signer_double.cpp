// A test double of the platform's signing library, for tests of the
// program's own sequence (binding, fallback, records, failure codes). It
// signs nothing. One source, built in variants that export:
//   QM_DOUBLE_ALL       SignerSignEx2, SignerSign, SignerTimeStampEx2
//   QM_DOUBLE_FALLBACK  SignerSign, SignerTimeStampEx2
//   QM_DOUBLE_SIGNONLY  SignerSign
//   QM_DOUBLE_NONE      none of them
// Driven by the environment of the process under test:
//   QM_DOUBLE_LOG      file that receives one line per call with its
//                      arguments and record fields
//   QM_DOUBLE_RESULTS  comma-separated codes (decimal or 0x hex) returned
//                      by the 1st, 2nd, ... call; 0 after the list ends
//   QM_DOUBLE_MARK     when set, each call writes "<Name>" to standard
//                      output, to show what was on screen before it
//   QM_DOUBLE_SLEEP_MS when set, each call waits that long
//   QM_DOUBLE_KILL_AT  the call of that number (1 for the first) ends the
//                      process at once with status 99, as a kill would:
//                      no buffer is flushed and no clean-up runs
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/platform.h"

#ifdef _WIN32
#define QM_DOUBLE_EXPORT extern "C" __declspec(dllexport)
// Declared here rather than through <windows.h>, whose names would clash
// with the boundary's. TerminateProcess runs no clean-up of the C runtime,
// which ExitProcess would (it flushes the streams).
extern "C" __declspec(dllimport) void* __stdcall GetCurrentProcess();
extern "C" __declspec(dllimport) int __stdcall TerminateProcess(void* process, unsigned code);
#else
#define QM_DOUBLE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using namespace qm;

namespace {

int gCalls = 0;

// ---- SHA-1, to name the certificate handed over by its thumbprint --------

uint32_t Rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

std::string Sha1Hex(const BYTE* data, size_t size) {
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::string msg(reinterpret_cast<const char*>(data), size);
    uint64_t bits = static_cast<uint64_t>(size) * 8;
    msg.push_back(static_cast<char>(0x80));
    while (msg.size() % 64 != 56) msg.push_back(0);
    for (int i = 7; i >= 0; --i) msg.push_back(static_cast<char>(bits >> (i * 8)));
    for (size_t off = 0; off < msg.size(); off += 64) {
        uint32_t w[80];
        for (int i = 0; i < 16; ++i) {
            const auto* p = reinterpret_cast<const unsigned char*>(msg.data() + off + 4 * i);
            w[i] = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
        }
        for (int i = 16; i < 80; ++i) w[i] = Rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int i = 0; i < 80; ++i) {
            uint32_t f, k;
            if (i < 20) { f = (b & c) | (~b & d); k = 0x5A827999; }
            else if (i < 40) { f = b ^ c ^ d; k = 0x6ED9EBA1; }
            else if (i < 60) { f = (b & c) | (b & d) | (c & d); k = 0x8F1BBCDC; }
            else { f = b ^ c ^ d; k = 0xCA62C1D6; }
            uint32_t t = Rotl(a, 5) + f + e + k + w[i];
            e = d; d = c; c = Rotl(b, 30); b = a; a = t;
        }
        h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e;
    }
    char out[41];
    for (int i = 0; i < 5; ++i) std::snprintf(out + 8 * i, 9, "%08x", static_cast<unsigned>(h[i]));
    return std::string(out, 40);
}

// ---- log text --------------------------------------------------------------

std::string Utf8(LPCWSTR w) {
    if (w == nullptr) return "null";
    std::string out = "\"";
    for (; *w != 0; ++w) {
        uint32_t c = static_cast<uint32_t>(*w);
        if (c >= 0xD800 && c <= 0xDBFF && w[1] >= 0xDC00 && w[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(w[1]) - 0xDC00);
            ++w;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
            out += esc;
            continue;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out + "\"";
}

[[maybe_unused]] std::string Narrow(LPCSTR s) { return s == nullptr ? "null" : "\"" + std::string(s) + "\""; }
std::string Ptr(const void* p) { return p == nullptr ? "null" : "set"; }
std::string Num(uint32_t v) { return std::to_string(v); }
std::string Hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%x", static_cast<unsigned>(v));
    return b;
}

[[maybe_unused]] std::string Subject(const SIGNER_SUBJECT_INFO* s) {
    if (s == nullptr) return "subject=null";
    std::string out = "subject.cbSize=" + Num(s->cbSize) + " subject.index=" +
                      (s->pdwIndex ? Num(*s->pdwIndex) : "null") + " subject.choice=" +
                      Num(s->dwSubjectChoice);
    if (s->dwSubjectChoice == SIGNER_SUBJECT_FILE && s->pSignerFileInfo != nullptr) {
        out += " file.cbSize=" + Num(s->pSignerFileInfo->cbSize) + " file.name=" +
               Utf8(s->pSignerFileInfo->pwszFileName) + " file.hFile=" +
               Ptr(s->pSignerFileInfo->hFile);
    }
    return out;
}

[[maybe_unused]] std::string Cert(const SIGNER_CERT* c) {
    if (c == nullptr) return " cert=null";
    std::string out = " cert.cbSize=" + Num(c->cbSize) + " cert.choice=" + Num(c->dwCertChoice) +
                      " cert.hwnd=" + Ptr(c->hwnd);
    if (c->dwCertChoice == SIGNER_CERT_STORE && c->pCertStoreInfo != nullptr) {
        const SIGNER_CERT_STORE_INFO* s = c->pCertStoreInfo;
        out += " store.cbSize=" + Num(s->cbSize) + " store.policy=" + Num(s->dwCertPolicy) +
               " store.hCertStore=" + Ptr(s->hCertStore);
        if (s->pSigningCert != nullptr && s->pSigningCert->pbCertEncoded != nullptr) {
            out += " store.cert.sha1=" +
                   Sha1Hex(s->pSigningCert->pbCertEncoded, s->pSigningCert->cbCertEncoded);
        } else {
            out += " store.cert=null";
        }
    }
    return out;
}

[[maybe_unused]] std::string Signature(const SIGNER_SIGNATURE_INFO* s) {
    if (s == nullptr) return " sig=null";
    std::string out = " sig.cbSize=" + Num(s->cbSize) + " sig.alg=" + Hex(s->algidHash) +
                      " sig.attrChoice=" + Num(s->dwAttrChoice) + " sig.auth=" +
                      Ptr(s->psAuthenticated) + " sig.unauth=" + Ptr(s->psUnauthenticated);
    if (s->dwAttrChoice == SIGNER_AUTHCODE_ATTR && s->pAttrAuthcode != nullptr) {
        const SIGNER_ATTR_AUTHCODE* a = s->pAttrAuthcode;
        out += " authcode.cbSize=" + Num(a->cbSize) + " authcode.commercial=" +
               Num(static_cast<uint32_t>(a->fCommercial)) + " authcode.individual=" +
               Num(static_cast<uint32_t>(a->fIndividual)) + " authcode.name=" +
               Utf8(a->pwszName) + " authcode.info=" + Utf8(a->pwszInfo);
    }
    return out;
}

// Ends the process at once, as a kill would: no buffer flushed.
[[maybe_unused]] void EndAsKilled() {
#ifdef _WIN32
    TerminateProcess(GetCurrentProcess(), 99);
#endif
    std::_Exit(99);
}

HRESULT NextResult() {
    int index = gCalls++;
    const char* list = std::getenv("QM_DOUBLE_RESULTS");
    if (list == nullptr) return 0;
    const char* p = list;
    for (int i = 0; i < index && p != nullptr; ++i) {
        p = std::strchr(p, ',');
        if (p != nullptr) ++p;
    }
    if (p == nullptr || *p == '\0' || *p == ',') return 0;
    return static_cast<HRESULT>(std::strtoul(p, nullptr, 0));
}

[[maybe_unused]] HRESULT Record(const char* name, const std::string& fields) {
    const char* mark = std::getenv("QM_DOUBLE_MARK");
    if (mark != nullptr) {
        std::printf("<%s>", name);
        std::fflush(stdout);
    }
    const char* sleep = std::getenv("QM_DOUBLE_SLEEP_MS");
    if (sleep != nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(sleep)));
    const char* kill = std::getenv("QM_DOUBLE_KILL_AT");
    if (kill != nullptr && std::atoi(kill) == gCalls + 1) EndAsKilled();
    HRESULT result = NextResult();
    const char* path = std::getenv("QM_DOUBLE_LOG");
    if (path != nullptr) {
        if (FILE* f = std::fopen(path, "ab")) {
            std::fprintf(f, "%s %s -> %x\n", name, fields.c_str(), static_cast<unsigned>(result));
            std::fclose(f);
        }
    }
    return result;
}

}  // namespace

#if defined(QM_DOUBLE_ALL)
QM_DOUBLE_EXPORT HRESULT QM_WINAPI SignerSignEx2(
    DWORD dwFlags, SIGNER_SUBJECT_INFO* pSubjectInfo, SIGNER_CERT* pSignerCert,
    SIGNER_SIGNATURE_INFO* pSignatureInfo, SIGNER_PROVIDER_INFO* pProviderInfo,
    DWORD dwTimestampFlags, LPCSTR pszTimestampAlgorithmOid, LPCWSTR pwszHttpTimeStamp,
    CRYPT_ATTRIBUTES* psRequest, void* pSipData, SIGNER_CONTEXT** ppSignerContext,
    void* pCryptoPolicy, void* pReserved) {
    return Record("SignerSignEx2",
                  "flags=" + Num(dwFlags) + " " + Subject(pSubjectInfo) + Cert(pSignerCert) +
                      Signature(pSignatureInfo) + " provider=" + Ptr(pProviderInfo) +
                      " tsflags=" + Num(dwTimestampFlags) + " oid=" +
                      Narrow(pszTimestampAlgorithmOid) + " url=" + Utf8(pwszHttpTimeStamp) +
                      " request=" + Ptr(psRequest) + " sip=" + Ptr(pSipData) +
                      " context=" + Ptr(ppSignerContext) + " policy=" + Ptr(pCryptoPolicy) +
                      " reserved=" + Ptr(pReserved));
}
#endif

#if defined(QM_DOUBLE_ALL) || defined(QM_DOUBLE_FALLBACK) || defined(QM_DOUBLE_SIGNONLY)
QM_DOUBLE_EXPORT HRESULT QM_WINAPI SignerSign(
    SIGNER_SUBJECT_INFO* pSubjectInfo, SIGNER_CERT* pSignerCert,
    SIGNER_SIGNATURE_INFO* pSignatureInfo, SIGNER_PROVIDER_INFO* pProviderInfo,
    LPCWSTR pwszHttpTimeStamp, CRYPT_ATTRIBUTES* psRequest, void* pSipData) {
    return Record("SignerSign", Subject(pSubjectInfo) + Cert(pSignerCert) +
                                    Signature(pSignatureInfo) + " provider=" +
                                    Ptr(pProviderInfo) + " url=" + Utf8(pwszHttpTimeStamp) +
                                    " request=" + Ptr(psRequest) + " sip=" + Ptr(pSipData));
}
#endif

#if defined(QM_DOUBLE_ALL) || defined(QM_DOUBLE_FALLBACK)
QM_DOUBLE_EXPORT HRESULT QM_WINAPI SignerTimeStampEx2(
    DWORD dwFlags, SIGNER_SUBJECT_INFO* pSubjectInfo, LPCWSTR pwszHttpTimeStamp, ALG_ID dwAlgId,
    CRYPT_ATTRIBUTES* psRequest, void* pSipData, SIGNER_CONTEXT** ppSignerContext) {
    return Record("SignerTimeStampEx2",
                  "flags=" + Num(dwFlags) + " " + Subject(pSubjectInfo) + " url=" +
                      Utf8(pwszHttpTimeStamp) + " alg=" + Hex(dwAlgId) + " request=" +
                      Ptr(psRequest) + " sip=" + Ptr(pSipData) + " context=" +
                      Ptr(ppSignerContext));
}
#endif

// Every variant exports something, so that even the empty one loads.
QM_DOUBLE_EXPORT int QuillmarkSignerDoubleVariant() { return gCalls; }
