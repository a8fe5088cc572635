// The platform boundary: the Windows-named types, records, constants and
// services the program calls. Shared code includes this header and nothing
// of the operating system; each build links one implementation of it
// (src/platform/win32 on Windows, src/platform/posix elsewhere).
//
// Everything lives in namespace qm so that the Windows implementation files
// can include the system headers beside this one without clashes.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#define QM_WINAPI __stdcall
#define QM_WIDE(s) L##s
namespace qm { typedef wchar_t WCHAR; }
#else
#define QM_WINAPI
#define QM_WIDE(s) u##s
namespace qm { typedef char16_t WCHAR; }
#endif

namespace qm {

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef int32_t HRESULT;
typedef uint32_t ALG_ID;
typedef void* HANDLE;
typedef void* HMODULE;
typedef void* HCERTSTORE;
typedef void* HWND;
typedef const WCHAR* LPCWSTR;
typedef const char* LPCSTR;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

// ---- last error --------------------------------------------------------

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_FILE_CORRUPT = 1392;
constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004u;

DWORD GetLastError();
void SetLastError(DWORD code);

// ---- standard output and console ---------------------------------------

constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);

struct COORD { int16_t X; int16_t Y; };
struct SMALL_RECT { int16_t Left; int16_t Top; int16_t Right; int16_t Bottom; };
struct CONSOLE_SCREEN_BUFFER_INFO {
    COORD dwSize;
    COORD dwCursorPosition;
    WORD wAttributes;
    SMALL_RECT srWindow;
    COORD dwMaximumWindowSize;
};

constexpr WORD FOREGROUND_BLUE = 0x0001;
constexpr WORD FOREGROUND_GREEN = 0x0002;
constexpr WORD FOREGROUND_RED = 0x0004;
constexpr WORD FOREGROUND_INTENSITY = 0x0008;

HANDLE GetStdHandle(DWORD which);
BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info);
BOOL SetConsoleTextAttribute(HANDLE console, WORD attributes);

// Writes bytes to standard output in program order. When standard output is
// a console the bytes are on screen before this returns; otherwise they may
// be buffered until FlushStandardOutput.
void WriteStandardOutput(const char* bytes, size_t count);
void FlushStandardOutput();

// ---- command line --------------------------------------------------------

// What an argument that starts with '-' or '/' is on this platform.
enum class OptionArgument { kOption, kPath, kEndOfOptions };

// Windows: always an option. POSIX, where every absolute path starts with
// '/': an argument that starts with '/' and holds another '/' is a path, and
// "--" ends the options (every later argument is a path).
OptionArgument ClassifyOptionArgument(LPCWSTR arg);

// ---- executable path, settings file, directory enumeration -------------

DWORD GetModuleFileNameW(HMODULE module, WCHAR* buffer, DWORD size);

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR fallback,
                               WCHAR* buffer, DWORD size, LPCWSTR file);

constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD MAX_PATH = 260;

struct FILETIME { DWORD dwLowDateTime; DWORD dwHighDateTime; };
struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};

HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data);
BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data);
BOOL FindClose(HANDLE find);

// ---- run-time library binding ------------------------------------------

typedef void (*FARPROC)();

// Binds the platform's signing library by its Windows name. Each build
// decides where it may come from (see the implementation).
HMODULE LoadLibraryW(LPCWSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);

// ---- certificate store -------------------------------------------------

constexpr DWORD X509_ASN_ENCODING = 0x00000001;
constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;
constexpr DWORD CERT_FIND_SUBJECT_STR_W = 0x00080007;
constexpr DWORD CERT_FIND_SHA1_HASH = 0x00010000;
constexpr DWORD CERT_SYSTEM_STORE_CURRENT_USER = 0x00010000;
constexpr DWORD CERT_CLOSE_STORE_CHECK_FLAG = 0x00000002;
// CERT_STORE_PROV_SYSTEM_W is the provider number 10 passed where a name
// would go, as the platform does it.
inline LPCSTR const CERT_STORE_PROV_SYSTEM_W = reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(10));

struct CRYPT_HASH_BLOB { DWORD cbData; BYTE* pbData; };
struct CERT_INFO;  // not decoded by this program
struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    CERT_INFO* pCertInfo;
    HCERTSTORE hCertStore;
};
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

HCERTSTORE CertOpenStore(LPCSTR provider, DWORD encoding, uintptr_t cryptProv,
                         DWORD flags, const void* para);
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD encoding,
                                          DWORD findFlags, DWORD findType,
                                          const void* findPara, PCCERT_CONTEXT previous);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT context);
BOOL CertCloseStore(HCERTSTORE store, DWORD flags);

// ---- signing library records and entry points --------------------------
// Field order as the signing library publishes them; cbSize carries the
// sizes of the 32-bit layout on every build.

constexpr ALG_ID CALG_SHA_256 = 0x800C;
constexpr DWORD SIGNER_SUBJECT_FILE = 1;
constexpr DWORD SIGNER_SUBJECT_BLOB = 2;
constexpr DWORD SIGNER_CERT_SPC_FILE = 1;
constexpr DWORD SIGNER_CERT_STORE = 2;
constexpr DWORD SIGNER_CERT_SPC_CHAIN = 3;
constexpr DWORD SIGNER_CERT_POLICY_STORE = 1;
constexpr DWORD SIGNER_CERT_POLICY_CHAIN = 2;
constexpr DWORD SIGNER_CERT_POLICY_CHAIN_NO_ROOT = 8;
constexpr DWORD SIGNER_NO_ATTR = 0;
constexpr DWORD SIGNER_AUTHCODE_ATTR = 1;
constexpr DWORD SIGNER_TIMESTAMP_AUTHENTICODE = 1;
constexpr DWORD SIGNER_TIMESTAMP_RFC3161 = 2;

struct SIGNER_FILE_INFO {
    DWORD cbSize;
    LPCWSTR pwszFileName;
    HANDLE hFile;
};
struct SIGNER_BLOB_INFO;
struct SIGNER_SUBJECT_INFO {
    DWORD cbSize;
    DWORD* pdwIndex;
    DWORD dwSubjectChoice;
    union {
        SIGNER_FILE_INFO* pSignerFileInfo;
        SIGNER_BLOB_INFO* pSignerBlobInfo;
    };
};
struct SIGNER_CERT_STORE_INFO {
    DWORD cbSize;
    PCCERT_CONTEXT pSigningCert;
    DWORD dwCertPolicy;
    HCERTSTORE hCertStore;
};
struct SIGNER_SPC_CHAIN_INFO;
struct SIGNER_CERT {
    DWORD cbSize;
    DWORD dwCertChoice;
    union {
        LPCWSTR pwszSpcFile;
        SIGNER_CERT_STORE_INFO* pCertStoreInfo;
        SIGNER_SPC_CHAIN_INFO* pSpcChainInfo;
    };
    HWND hwnd;
};
struct SIGNER_ATTR_AUTHCODE {
    DWORD cbSize;
    BOOL fCommercial;
    BOOL fIndividual;
    LPCWSTR pwszName;
    LPCWSTR pwszInfo;
};
struct CRYPT_ATTRIBUTES;
struct SIGNER_SIGNATURE_INFO {
    DWORD cbSize;
    ALG_ID algidHash;
    DWORD dwAttrChoice;
    union {
        SIGNER_ATTR_AUTHCODE* pAttrAuthcode;
    };
    CRYPT_ATTRIBUTES* psAuthenticated;
    CRYPT_ATTRIBUTES* psUnauthenticated;
};
struct SIGNER_PROVIDER_INFO;
struct SIGNER_CONTEXT;

// The cbSize each record announces. 64-bit Windows reads the records in
// their natural 64-bit layout; the 32-bit program and our Linux library use
// the 32-bit sizes.
#ifdef _WIN64
constexpr DWORD kSignerFileInfoSize = 24;
constexpr DWORD kSignerSubjectInfoSize = 32;
constexpr DWORD kSignerCertStoreInfoSize = 32;
constexpr DWORD kSignerCertSize = 24;
constexpr DWORD kSignerAttrAuthcodeSize = 32;
constexpr DWORD kSignerSignatureInfoSize = 40;
#else
constexpr DWORD kSignerFileInfoSize = 12;
constexpr DWORD kSignerSubjectInfoSize = 16;
constexpr DWORD kSignerCertStoreInfoSize = 16;
constexpr DWORD kSignerCertSize = 16;
constexpr DWORD kSignerAttrAuthcodeSize = 20;
constexpr DWORD kSignerSignatureInfoSize = 24;
#endif

typedef HRESULT(QM_WINAPI* PFN_SignerSignEx2)(
    DWORD dwFlags, SIGNER_SUBJECT_INFO* pSubjectInfo, SIGNER_CERT* pSignerCert,
    SIGNER_SIGNATURE_INFO* pSignatureInfo, SIGNER_PROVIDER_INFO* pProviderInfo,
    DWORD dwTimestampFlags, LPCSTR pszTimestampAlgorithmOid, LPCWSTR pwszHttpTimeStamp,
    CRYPT_ATTRIBUTES* psRequest, void* pSipData, SIGNER_CONTEXT** ppSignerContext,
    void* pCryptoPolicy, void* pReserved);

typedef HRESULT(QM_WINAPI* PFN_SignerSign)(
    SIGNER_SUBJECT_INFO* pSubjectInfo, SIGNER_CERT* pSignerCert,
    SIGNER_SIGNATURE_INFO* pSignatureInfo, SIGNER_PROVIDER_INFO* pProviderInfo,
    LPCWSTR pwszHttpTimeStamp, CRYPT_ATTRIBUTES* psRequest, void* pSipData);

// The platform's SignerTimeStampEx2 takes the digest as an algorithm
// identifier (ALG_ID), not as an object identifier string.
typedef HRESULT(QM_WINAPI* PFN_SignerTimeStampEx2)(
    DWORD dwFlags, SIGNER_SUBJECT_INFO* pSubjectInfo, LPCWSTR pwszHttpTimeStamp,
    ALG_ID dwAlgId, CRYPT_ATTRIBUTES* psRequest, void* pSipData,
    SIGNER_CONTEXT** ppSignerContext);

// ---- process exit ------------------------------------------------------

// The value the process exits with for a run status (0, 1 or an HRESULT).
int ProcessExitCode(int32_t status);

}  // namespace qm
