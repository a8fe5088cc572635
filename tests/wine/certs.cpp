// Test helper that puts certificates into the current user's stores of a
// Wine prefix, the way a user's certificate import would.
//
//   qmcerts import-pfx FILE PASSWORD   leaf certificates (with their keys)
//                                      into MY, CA certificates into CA
//   qmcerts add STORE FILE.der         one DER certificate into STORE
//   qmcerts list STORE                 "sha1 subject" per certificate
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

bool ReadFileBytes(const wchar_t* path, std::vector<BYTE>& out) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < (64 << 20);
    if (ok) {
        out.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        ok = out.empty() || (ReadFile(file, out.data(), static_cast<DWORD>(out.size()), &got, nullptr) &&
                             got == out.size());
    }
    CloseHandle(file);
    return ok;
}

int Fail(const char* what) {
    std::fprintf(stderr, "qmcerts: %s failed, error 0x%lx\n", what, GetLastError());
    return 1;
}

HCERTSTORE OpenUserStore(const wchar_t* name) {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name);
}

// A certificate whose basic constraints say CA; anything else is a leaf.
bool IsCaCertificate(PCCERT_CONTEXT cert) {
    PCERT_EXTENSION ext = CertFindExtension(szOID_BASIC_CONSTRAINTS2, cert->pCertInfo->cExtension,
                                            cert->pCertInfo->rgExtension);
    if (ext == nullptr) return false;
    CERT_BASIC_CONSTRAINTS2_INFO info = {};
    DWORD size = sizeof info;
    return CryptDecodeObject(X509_ASN_ENCODING, X509_BASIC_CONSTRAINTS2, ext->Value.pbData,
                             ext->Value.cbData, 0, &info, &size) && info.fCA;
}

int ImportPfx(const wchar_t* path, const wchar_t* password) {
    std::vector<BYTE> bytes;
    if (!ReadFileBytes(path, bytes)) return Fail("reading the PFX file");
    CRYPT_DATA_BLOB blob = {static_cast<DWORD>(bytes.size()), bytes.data()};
    HCERTSTORE pfx = PFXImportCertStore(&blob, password, CRYPT_USER_KEYSET | CRYPT_EXPORTABLE);
    if (pfx == nullptr) return Fail("PFXImportCertStore");
    HCERTSTORE my = OpenUserStore(L"MY");
    HCERTSTORE ca = OpenUserStore(L"CA");
    if (my == nullptr || ca == nullptr) return Fail("CertOpenStore");
    int status = 0;
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(pfx, cert)) != nullptr) {
        HCERTSTORE target = IsCaCertificate(cert) ? ca : my;
        if (!CertAddCertificateContextToStore(target, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
            status = Fail("CertAddCertificateContextToStore");
    }
    CertCloseStore(ca, 0);
    CertCloseStore(my, 0);
    CertCloseStore(pfx, 0);
    return status;
}

int AddDer(const wchar_t* store, const wchar_t* path) {
    std::vector<BYTE> bytes;
    if (!ReadFileBytes(path, bytes)) return Fail("reading the certificate file");
    if (!CertAddEncodedCertificateToSystemStoreW(store, bytes.data(), static_cast<DWORD>(bytes.size())))
        return Fail("CertAddEncodedCertificateToSystemStoreW");
    return 0;
}

int List(const wchar_t* name) {
    HCERTSTORE store = OpenUserStore(name);
    if (store == nullptr) return Fail("CertOpenStore");
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
        BYTE hash[20];
        DWORD size = sizeof hash;
        if (!CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, hash, &size)) size = 0;
        for (DWORD i = 0; i < size; ++i) std::printf("%02x", hash[i]);
        wchar_t subject[512];
        CertNameToStrW(X509_ASN_ENCODING, &cert->pCertInfo->Subject, CERT_SIMPLE_NAME_STR, subject, 512);
        std::printf(" %ls\n", subject);
    }
    CertCloseStore(store, 0);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && std::wcscmp(argv[1], L"import-pfx") == 0) return ImportPfx(argv[2], argv[3]);
    if (argc == 4 && std::wcscmp(argv[1], L"add") == 0) return AddDer(argv[2], argv[3]);
    if (argc == 3 && std::wcscmp(argv[1], L"list") == 0) return List(argv[2]);
    std::fputs("usage: qmcerts import-pfx FILE PASSWORD | add STORE FILE.der | list STORE\n", stderr);
    return 2;
}
