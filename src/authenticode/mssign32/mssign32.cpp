// libmssign32.so: the signing library's entry points over the engine. Each
// call checks its records and signs one file. The NSS database, a token's
// login and the signer's key and chain stay for the rest of the process
// (shared with the program's store when the program loaded the library), so
// the files of a run open and log in once; they are released at exit.
#include <openssl/crypto.h>

#include <mutex>
#include <new>
#include <type_traits>

#include "authenticode/hresult.h"
#include "authenticode/sign_file.h"
#include "platform/platform.h"
#include "platform/posix/nssdb_posix.h"
#include "platform/posix/text_posix.h"
#include "records.h"

#define MSSIGN32_EXPORT extern "C" __attribute__((visibility("default")))

using authenticode::kInvalidArg;
using authenticode::kOk;

namespace {

constexpr int32_t kUnexpected = authenticode::Hr(0x8000FFFF);  // E_UNEXPECTED

// Once per process, before the engine first uses OpenSSL: no clean-up of
// OpenSSL's tables at exit. Freeing them one by one there only costs time
// (about 0.2 ms, at the end of every run) when the process ends anyway;
// libcrypto stays loaded for the life of the process whatever happens to
// this library.
void StartUp() {
    static std::once_flag once;
    std::call_once(once, [] { OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr); });
}

// Nothing may leave an extern "C" entry point as an exception.
template <typename Body>
qm::HRESULT Guarded(Body body) {
    try {
        StartUp();
        return body();
    } catch (const std::bad_alloc&) {
        return authenticode::kOutOfMemory;
    } catch (...) {
        return kUnexpected;
    }
}

int32_t ReadSignRequest(qm::SIGNER_SUBJECT_INFO* subject, qm::SIGNER_CERT* cert, qm::SIGNER_SIGNATURE_INFO* info,
                        qm::SIGNER_PROVIDER_INFO* provider, authenticode::SignRequest* request) {
    // Keys come from the store; a separate provider is not supported.
    if (provider != nullptr) return kInvalidArg;
    int32_t code = mssign32::ReadSubject(subject, &request->path);
    if (code == kOk) code = mssign32::ReadSignerCert(cert, &request->certificate, &request->include_root);
    if (code == kOk) code = mssign32::ReadSignatureInfo(info, &request->attributes);
    request->db_dir = qm::UserNssDatabaseDir();
    return code;
}

}  // namespace

MSSIGN32_EXPORT qm::HRESULT SignerSignEx2(qm::DWORD dwFlags, qm::SIGNER_SUBJECT_INFO* pSubjectInfo,
                                          qm::SIGNER_CERT* pSignerCert, qm::SIGNER_SIGNATURE_INFO* pSignatureInfo,
                                          qm::SIGNER_PROVIDER_INFO* pProviderInfo, qm::DWORD dwTimestampFlags,
                                          qm::LPCSTR pszTimestampAlgorithmOid, qm::LPCWSTR pwszHttpTimeStamp,
                                          qm::CRYPT_ATTRIBUTES* psRequest, void* pSipData,
                                          qm::SIGNER_CONTEXT** ppSignerContext, void* pCryptoPolicy,
                                          void* pReserved) {
    if (ppSignerContext != nullptr) *ppSignerContext = nullptr;  // no signer context is handed out
    if (dwFlags != 0 || psRequest != nullptr || pSipData != nullptr || pCryptoPolicy != nullptr ||
        pReserved != nullptr) {
        return kInvalidArg;
    }
    return Guarded([&]() {
        authenticode::SignRequest request;
        int32_t code = ReadSignRequest(pSubjectInfo, pSignerCert, pSignatureInfo, pProviderInfo, &request);
        if (code == kOk) {
            code = mssign32::ReadTimestampArgs(dwTimestampFlags, pszTimestampAlgorithmOid, pwszHttpTimeStamp,
                                               &request.timestamp, &request.timestamp_url);
        }
        if (code != kOk) return code;
        return authenticode::SignFile(request);
    });
}

MSSIGN32_EXPORT qm::HRESULT SignerSign(qm::SIGNER_SUBJECT_INFO* pSubjectInfo, qm::SIGNER_CERT* pSignerCert,
                                       qm::SIGNER_SIGNATURE_INFO* pSignatureInfo,
                                       qm::SIGNER_PROVIDER_INFO* pProviderInfo, qm::LPCWSTR pwszHttpTimeStamp,
                                       qm::CRYPT_ATTRIBUTES* psRequest, void* pSipData) {
    // A URL here asks for the legacy Authenticode timestamp protocol, which
    // this library does not speak; RFC 3161 goes through SignerTimeStampEx2.
    if (pwszHttpTimeStamp != nullptr || psRequest != nullptr || pSipData != nullptr) return kInvalidArg;
    return Guarded([&]() {
        authenticode::SignRequest request;
        int32_t code = ReadSignRequest(pSubjectInfo, pSignerCert, pSignatureInfo, pProviderInfo, &request);
        if (code != kOk) return code;
        return authenticode::SignFile(request);
    });
}

MSSIGN32_EXPORT qm::HRESULT SignerTimeStampEx2(qm::DWORD dwFlags, qm::SIGNER_SUBJECT_INFO* pSubjectInfo,
                                               qm::LPCWSTR pwszHttpTimeStamp, qm::ALG_ID dwAlgId,
                                               qm::CRYPT_ATTRIBUTES* psRequest, void* pSipData,
                                               qm::SIGNER_CONTEXT** ppSignerContext) {
    if (ppSignerContext != nullptr) *ppSignerContext = nullptr;
    if (dwFlags != qm::SIGNER_TIMESTAMP_RFC3161 || pwszHttpTimeStamp == nullptr || dwAlgId != qm::CALG_SHA_256 ||
        psRequest != nullptr || pSipData != nullptr) {
        return kInvalidArg;
    }
    return Guarded([&]() {
        std::string path;
        int32_t code = mssign32::ReadSubject(pSubjectInfo, &path);
        if (code != kOk) return code;
        return authenticode::TimestampFile(path, qm::BytesFromWide(pwszHttpTimeStamp));
    });
}

// The entry points must keep the exact types the program binds them with.
static_assert(std::is_same_v<decltype(&SignerSignEx2), qm::PFN_SignerSignEx2>);
static_assert(std::is_same_v<decltype(&SignerSign), qm::PFN_SignerSign>);
static_assert(std::is_same_v<decltype(&SignerTimeStampEx2), qm::PFN_SignerTimeStampEx2>);
