// The current user's certificate stores on Windows, through crypt32.

// The boundary header comes first: <windows.h> turns many of its names
// (MAX_PATH, STD_OUTPUT_HANDLE, ...) into macros.
#include "platform/platform.h"

#include <windows.h>
#include <wincrypt.h>

namespace qm {

HCERTSTORE CertOpenStore(LPCSTR provider, DWORD encoding, uintptr_t cryptProv,
                         DWORD flags, const void* para) {
    return ::CertOpenStore(provider, encoding, static_cast<HCRYPTPROV_LEGACY>(cryptProv), flags, para);
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD encoding,
                                          DWORD findFlags, DWORD findType,
                                          const void* findPara, PCCERT_CONTEXT previous) {
    ::PCCERT_CONTEXT found = ::CertFindCertificateInStore(
        store, encoding, findFlags, findType, findPara,
        reinterpret_cast<::PCCERT_CONTEXT>(previous));
    return reinterpret_cast<PCCERT_CONTEXT>(found);
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
    return ::CertFreeCertificateContext(reinterpret_cast<::PCCERT_CONTEXT>(context));
}

BOOL CertCloseStore(HCERTSTORE store, DWORD flags) { return ::CertCloseStore(store, flags); }

}  // namespace qm
