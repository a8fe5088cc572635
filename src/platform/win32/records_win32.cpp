// Compile-time proof that the boundary records in platform.h have the
// platform's own layout on this target, so that the forwards in this folder
// may hand our records to kernel32 and crypt32 by a plain pointer cast, and
// that the signing-library records have the sizes their cbSize fields
// announce: the 32-bit layout on i686, the natural 64-bit one on x86_64.
#include "platform/platform.h"

#include <cstddef>

namespace {

// Our constants, taken before <windows.h> makes macros of their names.
constexpr qm::DWORD kStdOutputHandle = qm::STD_OUTPUT_HANDLE;
constexpr qm::DWORD kMaxPath = qm::MAX_PATH;
constexpr qm::DWORD kFileAttributeDirectory = qm::FILE_ATTRIBUTE_DIRECTORY;
constexpr qm::DWORD kX509AsnEncoding = qm::X509_ASN_ENCODING;
constexpr qm::DWORD kPkcs7AsnEncoding = qm::PKCS_7_ASN_ENCODING;
constexpr qm::DWORD kCertFindSubjectStrW = qm::CERT_FIND_SUBJECT_STR_W;
constexpr qm::DWORD kCertFindSha1Hash = qm::CERT_FIND_SHA1_HASH;
constexpr qm::DWORD kCertSystemStoreCurrentUser = qm::CERT_SYSTEM_STORE_CURRENT_USER;
constexpr qm::DWORD kCertCloseStoreCheckFlag = qm::CERT_CLOSE_STORE_CHECK_FLAG;
constexpr qm::ALG_ID kCalgSha256 = qm::CALG_SHA_256;
constexpr qm::DWORD kCryptENotFound = qm::CRYPT_E_NOT_FOUND;
constexpr qm::DWORD kErrorModNotFound = qm::ERROR_MOD_NOT_FOUND;
constexpr qm::DWORD kErrorProcNotFound = qm::ERROR_PROC_NOT_FOUND;
constexpr qm::DWORD kErrorNoMoreFiles = qm::ERROR_NO_MORE_FILES;
constexpr qm::WORD kForegroundGreen = qm::FOREGROUND_GREEN;
constexpr qm::WORD kForegroundRed = qm::FOREGROUND_RED;
constexpr qm::WORD kForegroundIntensity = qm::FOREGROUND_INTENSITY;

}  // namespace

#include <windows.h>
#include <wincrypt.h>

namespace {

template <typename Ours, typename Theirs>
constexpr bool SameSize() { return sizeof(Ours) == sizeof(Theirs) && alignof(Ours) == alignof(Theirs); }

static_assert(sizeof(void*) == 4 || sizeof(void*) == 8, "a 32-bit or 64-bit Windows program");
static_assert(sizeof(qm::WCHAR) == sizeof(::WCHAR));

// Console
static_assert(SameSize<qm::COORD, ::COORD>());
static_assert(SameSize<qm::SMALL_RECT, ::SMALL_RECT>());
static_assert(SameSize<qm::CONSOLE_SCREEN_BUFFER_INFO, ::CONSOLE_SCREEN_BUFFER_INFO>());
static_assert(offsetof(qm::CONSOLE_SCREEN_BUFFER_INFO, dwCursorPosition) ==
              offsetof(::CONSOLE_SCREEN_BUFFER_INFO, dwCursorPosition));
static_assert(offsetof(qm::CONSOLE_SCREEN_BUFFER_INFO, wAttributes) ==
              offsetof(::CONSOLE_SCREEN_BUFFER_INFO, wAttributes));
static_assert(offsetof(qm::CONSOLE_SCREEN_BUFFER_INFO, srWindow) ==
              offsetof(::CONSOLE_SCREEN_BUFFER_INFO, srWindow));
static_assert(offsetof(qm::CONSOLE_SCREEN_BUFFER_INFO, dwMaximumWindowSize) ==
              offsetof(::CONSOLE_SCREEN_BUFFER_INFO, dwMaximumWindowSize));

// Directory enumeration
static_assert(SameSize<qm::FILETIME, ::FILETIME>());
static_assert(SameSize<qm::WIN32_FIND_DATAW, ::WIN32_FIND_DATAW>());
static_assert(offsetof(qm::WIN32_FIND_DATAW, ftLastWriteTime) ==
              offsetof(::WIN32_FIND_DATAW, ftLastWriteTime));
static_assert(offsetof(qm::WIN32_FIND_DATAW, nFileSizeLow) ==
              offsetof(::WIN32_FIND_DATAW, nFileSizeLow));
static_assert(offsetof(qm::WIN32_FIND_DATAW, cFileName) ==
              offsetof(::WIN32_FIND_DATAW, cFileName));
static_assert(offsetof(qm::WIN32_FIND_DATAW, cAlternateFileName) ==
              offsetof(::WIN32_FIND_DATAW, cAlternateFileName));

// Certificate store
static_assert(SameSize<qm::CRYPT_HASH_BLOB, ::CRYPT_HASH_BLOB>());
static_assert(offsetof(qm::CRYPT_HASH_BLOB, pbData) == offsetof(::CRYPT_HASH_BLOB, pbData));
static_assert(SameSize<qm::CERT_CONTEXT, ::CERT_CONTEXT>());
static_assert(offsetof(qm::CERT_CONTEXT, pbCertEncoded) == offsetof(::CERT_CONTEXT, pbCertEncoded));
static_assert(offsetof(qm::CERT_CONTEXT, cbCertEncoded) == offsetof(::CERT_CONTEXT, cbCertEncoded));
static_assert(offsetof(qm::CERT_CONTEXT, pCertInfo) == offsetof(::CERT_CONTEXT, pCertInfo));
static_assert(offsetof(qm::CERT_CONTEXT, hCertStore) == offsetof(::CERT_CONTEXT, hCertStore));

// Constants that shared code passes straight through.
static_assert(kStdOutputHandle == STD_OUTPUT_HANDLE);
static_assert(kMaxPath == MAX_PATH);
static_assert(kFileAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY);
static_assert(kX509AsnEncoding == X509_ASN_ENCODING);
static_assert(kPkcs7AsnEncoding == PKCS_7_ASN_ENCODING);
static_assert(kCertFindSubjectStrW == CERT_FIND_SUBJECT_STR_W);
static_assert(kCertFindSha1Hash == CERT_FIND_SHA1_HASH);
static_assert(kCertSystemStoreCurrentUser == CERT_SYSTEM_STORE_CURRENT_USER);
static_assert(kCertCloseStoreCheckFlag == CERT_CLOSE_STORE_CHECK_FLAG);
static_assert(kCalgSha256 == CALG_SHA_256);
static_assert(kCryptENotFound == static_cast<DWORD>(CRYPT_E_NOT_FOUND));
static_assert(kErrorModNotFound == ERROR_MOD_NOT_FOUND);
static_assert(kErrorProcNotFound == ERROR_PROC_NOT_FOUND);
static_assert(kErrorNoMoreFiles == ERROR_NO_MORE_FILES);
static_assert(kForegroundGreen == FOREGROUND_GREEN);
static_assert(kForegroundRed == FOREGROUND_RED);
static_assert(kForegroundIntensity == FOREGROUND_INTENSITY);

// The signing library's records: the published sizes and field offsets of
// each layout (the library reads them by offset, whatever our compiler
// thinks). The fields keep their order; on x86_64 every pointer takes 8
// bytes at an 8-byte boundary.
struct RecordLayout {
    size_t fileInfo[3];       // size, pwszFileName, hFile
    size_t subjectInfo[4];    // size, pdwIndex, dwSubjectChoice, pSignerFileInfo
    size_t certStoreInfo[4];  // size, pSigningCert, dwCertPolicy, hCertStore
    size_t cert[4];           // size, dwCertChoice, pCertStoreInfo, hwnd
    size_t authcode[5];       // size, fCommercial, fIndividual, pwszName, pwszInfo
    size_t signatureInfo[6];  // size, algidHash, dwAttrChoice, pAttrAuthcode,
                              // psAuthenticated, psUnauthenticated
};
constexpr RecordLayout kLayout32 = {
    {12, 4, 8}, {16, 4, 8, 12}, {16, 4, 8, 12}, {16, 4, 8, 12}, {20, 4, 8, 12, 16},
    {24, 4, 8, 12, 16, 20}};
constexpr RecordLayout kLayout64 = {
    {24, 8, 16}, {32, 8, 16, 24}, {32, 8, 16, 24}, {24, 4, 8, 16}, {32, 4, 8, 16, 24},
    {40, 4, 8, 16, 24, 32}};
#ifdef _WIN64
constexpr RecordLayout kLayout = kLayout64;
#else
constexpr RecordLayout kLayout = kLayout32;
#endif

static_assert(sizeof(qm::SIGNER_FILE_INFO) == qm::kSignerFileInfoSize);
static_assert(sizeof(qm::SIGNER_FILE_INFO) == kLayout.fileInfo[0]);
static_assert(offsetof(qm::SIGNER_FILE_INFO, pwszFileName) == kLayout.fileInfo[1]);
static_assert(offsetof(qm::SIGNER_FILE_INFO, hFile) == kLayout.fileInfo[2]);

static_assert(sizeof(qm::SIGNER_SUBJECT_INFO) == qm::kSignerSubjectInfoSize);
static_assert(sizeof(qm::SIGNER_SUBJECT_INFO) == kLayout.subjectInfo[0]);
static_assert(offsetof(qm::SIGNER_SUBJECT_INFO, pdwIndex) == kLayout.subjectInfo[1]);
static_assert(offsetof(qm::SIGNER_SUBJECT_INFO, dwSubjectChoice) == kLayout.subjectInfo[2]);
static_assert(offsetof(qm::SIGNER_SUBJECT_INFO, pSignerFileInfo) == kLayout.subjectInfo[3]);

static_assert(sizeof(qm::SIGNER_CERT_STORE_INFO) == qm::kSignerCertStoreInfoSize);
static_assert(sizeof(qm::SIGNER_CERT_STORE_INFO) == kLayout.certStoreInfo[0]);
static_assert(offsetof(qm::SIGNER_CERT_STORE_INFO, pSigningCert) == kLayout.certStoreInfo[1]);
static_assert(offsetof(qm::SIGNER_CERT_STORE_INFO, dwCertPolicy) == kLayout.certStoreInfo[2]);
static_assert(offsetof(qm::SIGNER_CERT_STORE_INFO, hCertStore) == kLayout.certStoreInfo[3]);

static_assert(sizeof(qm::SIGNER_CERT) == qm::kSignerCertSize);
static_assert(sizeof(qm::SIGNER_CERT) == kLayout.cert[0]);
static_assert(offsetof(qm::SIGNER_CERT, dwCertChoice) == kLayout.cert[1]);
static_assert(offsetof(qm::SIGNER_CERT, pCertStoreInfo) == kLayout.cert[2]);
static_assert(offsetof(qm::SIGNER_CERT, hwnd) == kLayout.cert[3]);

static_assert(sizeof(qm::SIGNER_ATTR_AUTHCODE) == qm::kSignerAttrAuthcodeSize);
static_assert(sizeof(qm::SIGNER_ATTR_AUTHCODE) == kLayout.authcode[0]);
static_assert(offsetof(qm::SIGNER_ATTR_AUTHCODE, fCommercial) == kLayout.authcode[1]);
static_assert(offsetof(qm::SIGNER_ATTR_AUTHCODE, fIndividual) == kLayout.authcode[2]);
static_assert(offsetof(qm::SIGNER_ATTR_AUTHCODE, pwszName) == kLayout.authcode[3]);
static_assert(offsetof(qm::SIGNER_ATTR_AUTHCODE, pwszInfo) == kLayout.authcode[4]);

static_assert(sizeof(qm::SIGNER_SIGNATURE_INFO) == qm::kSignerSignatureInfoSize);
static_assert(sizeof(qm::SIGNER_SIGNATURE_INFO) == kLayout.signatureInfo[0]);
static_assert(offsetof(qm::SIGNER_SIGNATURE_INFO, algidHash) == kLayout.signatureInfo[1]);
static_assert(offsetof(qm::SIGNER_SIGNATURE_INFO, dwAttrChoice) == kLayout.signatureInfo[2]);
static_assert(offsetof(qm::SIGNER_SIGNATURE_INFO, pAttrAuthcode) == kLayout.signatureInfo[3]);
static_assert(offsetof(qm::SIGNER_SIGNATURE_INFO, psAuthenticated) == kLayout.signatureInfo[4]);
static_assert(offsetof(qm::SIGNER_SIGNATURE_INFO, psUnauthenticated) == kLayout.signatureInfo[5]);

}  // namespace
