// The signing phase and its request records.
#include "signing/signing_phase.h"

#include "console/output.h"
#include "signing/status.h"

namespace qm {

namespace {

constexpr int32_t kSetupFailed = 1;

// The request records, built once and reused for every file; only the
// file name changes between attempts.
struct SigningRequest {
    DWORD index;
    SIGNER_FILE_INFO fileInfo;
    SIGNER_SUBJECT_INFO subjectInfo;
    SIGNER_CERT_STORE_INFO storeInfo;
    SIGNER_CERT signerCert;
    SIGNER_ATTR_AUTHCODE authcode;
    SIGNER_SIGNATURE_INFO signatureInfo;
};

void BuildRequest(SigningRequest* r, PCCERT_CONTEXT certificate) {
    r->index = 0;

    r->fileInfo.cbSize = kSignerFileInfoSize;
    r->fileInfo.pwszFileName = nullptr;
    r->fileInfo.hFile = nullptr;

    r->subjectInfo.cbSize = kSignerSubjectInfoSize;
    r->subjectInfo.pdwIndex = &r->index;
    r->subjectInfo.dwSubjectChoice = SIGNER_SUBJECT_FILE;
    r->subjectInfo.pSignerFileInfo = &r->fileInfo;

    r->storeInfo.cbSize = kSignerCertStoreInfoSize;
    r->storeInfo.pSigningCert = certificate;
    r->storeInfo.dwCertPolicy = SIGNER_CERT_POLICY_CHAIN_NO_ROOT;
    r->storeInfo.hCertStore = nullptr;

    r->signerCert.cbSize = kSignerCertSize;
    r->signerCert.dwCertChoice = SIGNER_CERT_STORE;
    r->signerCert.pCertStoreInfo = &r->storeInfo;
    r->signerCert.hwnd = nullptr;

    r->authcode.cbSize = kSignerAttrAuthcodeSize;
    r->authcode.fCommercial = 0;
    r->authcode.fIndividual = 1;
    r->authcode.pwszName = nullptr;
    r->authcode.pwszInfo = nullptr;

    r->signatureInfo.cbSize = kSignerSignatureInfoSize;
    r->signatureInfo.algidHash = CALG_SHA_256;
    r->signatureInfo.dwAttrChoice = SIGNER_AUTHCODE_ATTR;
    r->signatureInfo.pAttrAuthcode = &r->authcode;
    r->signatureInfo.psAuthenticated = nullptr;
    r->signatureInfo.psUnauthenticated = nullptr;
}

HRESULT SignOne(SigningRequest* r, const SignerEntryPoints& entry, const WCHAR* timestampUrl) {
    if (entry.signEx2 != nullptr) {
        // The timestamp flags stay RFC 3161 even without a URL; the object
        // identifier is given only together with one.
        return entry.signEx2(0, &r->subjectInfo, &r->signerCert, &r->signatureInfo, nullptr,
                             SIGNER_TIMESTAMP_RFC3161,
                             timestampUrl != nullptr ? kTimestampDigestOid : nullptr,
                             timestampUrl, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    HRESULT code = entry.sign(&r->subjectInfo, &r->signerCert, &r->signatureInfo, nullptr,
                              nullptr, nullptr, nullptr);
    if (code == 0 && timestampUrl != nullptr) {
        code = entry.timeStampEx2(SIGNER_TIMESTAMP_RFC3161, &r->subjectInfo, timestampUrl,
                                  CALG_SHA_256, nullptr, nullptr, nullptr);
    }
    return code;
}

}  // namespace

bool BindSigner(SignerEntryPoints* entry) {
    *entry = SignerEntryPoints{nullptr, nullptr, nullptr};
    HMODULE library = LoadLibraryW(QM_WIDE("mssign32.dll"));
    if (library == nullptr) {
        PrintNarrow("Cannot load mssign32.dll, Error %d\n", static_cast<int>(GetLastError()));
        return false;
    }
    entry->signEx2 = reinterpret_cast<PFN_SignerSignEx2>(GetProcAddress(library, "SignerSignEx2"));
    if (entry->signEx2 != nullptr) return true;

    // Both are looked up before either is examined; the fallback needs both,
    // even for a run without a timestamp.
    entry->sign = reinterpret_cast<PFN_SignerSign>(GetProcAddress(library, "SignerSign"));
    entry->timeStampEx2 =
        reinterpret_cast<PFN_SignerTimeStampEx2>(GetProcAddress(library, "SignerTimeStampEx2"));
    if (entry->sign == nullptr) {
        PrintStatus(kColourRed, "No SignerSign, Error #%d\n", static_cast<int>(GetLastError()));
        return false;
    }
    if (entry->timeStampEx2 == nullptr) {
        PrintStatus(kColourRed, "No SignerTimeStampEx2, Error #%d\n",
                    static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

bool FindSigningCertificate(const FindCriteria& criteria, HCERTSTORE* store,
                            PCCERT_CONTEXT* certificate) {
    *certificate = nullptr;
    *store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER,
                           QM_WIDE("MY"));
    if (*store == nullptr) {
        PrintNarrow("CertOpenStore failed %d\n", static_cast<int>(GetLastError()));
        return false;
    }
    *certificate = CertFindCertificateInStore(*store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                              criteria.findType, criteria.findPara, nullptr);
    if (*certificate == nullptr) {
        PrintNarrow("CertFindCertificateInStore failed %x\n",
                    static_cast<unsigned>(GetLastError()));
        CertCloseStore(*store, CERT_CLOSE_STORE_CHECK_FLAG);
        *store = nullptr;
        return false;
    }
    return true;
}

int32_t SignFiles(const FileList& files, const WCHAR* timestampUrl,
                  const SignerEntryPoints& entry, PCCERT_CONTEXT certificate) {
    SigningRequest request;
    BuildRequest(&request, certificate);
    int32_t result = kSetupFailed;
    int total = static_cast<int>(files.size());
    for (int n = 1; n <= total; ++n) {
        const WCHAR* path = files[static_cast<size_t>(n - 1)];
        // Left open: the status word follows on the same line once the call returns.
        PrintWide(QM_WIDE("QuillMark %d/%d: %s"), n, total, path);
        request.fileInfo.pwszFileName = path;
        HRESULT code = SignOne(&request, entry, timestampUrl);
        result = code;
        if (code != 0) {
            PrintStatus(kColourRed, " FAILED %x\n", static_cast<unsigned>(code));
            break;
        }
        PrintStatus(kColourGreen, " OK\n");
    }
    return result;
}

int32_t RunSigningPhase(const RunOptions& options, const FindCriteria& criteria,
                        const FileList& files) {
    CaptureConsoleState();
    SignerEntryPoints entry;
    if (!BindSigner(&entry)) return kSetupFailed;
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT certificate = nullptr;
    if (!FindSigningCertificate(criteria, &store, &certificate)) return kSetupFailed;
    int32_t result = SignFiles(files, options.timestampUrl, entry, certificate);
    CertFreeCertificateContext(certificate);
    CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG);
    return result;
}

}  // namespace qm
