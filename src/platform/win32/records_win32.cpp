// Compile-time proof that the boundary records in platform.h have the
// platform's own layout on this target, so that the forwards in this folder
// may hand our records to kernel32 and crypt32 by a plain pointer cast, and
// that the signing-library records have the 32-bit sizes their cbSize fields
// announce.
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

static_assert(sizeof(void*) == 4, "the Windows build is a 32-bit program");
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

// The signing library's records: the published 32-bit sizes and field
// offsets (the library reads them by offset, whatever our compiler thinks).
static_assert(sizeof(qm::SIGNER_FILE_INFO) == qm::kSignerFileInfoSize);
static_assert(offsetof(qm::SIGNER_FILE_INFO, pwszFileName) == 4);
static_assert(offsetof(qm::SIGNER_FILE_INFO, hFile) == 8);

static_assert(sizeof(qm::SIGNER_SUBJECT_INFO) == qm::kSignerSubjectInfoSize);
static_assert(offsetof(qm::SIGNER_SUBJECT_INFO, pdwIndex) == 4);
static_assert(offsetof(qm::SIGNER_SUBJECT_INFO, dwSubjectChoice) == 8);
static_assert(offsetof(qm::SIGNER_SUBJECT_INFO, pSignerFileInfo) == 12);

static_assert(sizeof(qm::SIGNER_CERT_STORE_INFO) == qm::kSignerCertStoreInfoSize);
static_assert(offsetof(qm::SIGNER_CERT_STORE_INFO, pSigningCert) == 4);
static_assert(offsetof(qm::SIGNER_CERT_STORE_INFO, dwCertPolicy) == 8);
static_assert(offsetof(qm::SIGNER_CERT_STORE_INFO, hCertStore) == 12);

static_assert(sizeof(qm::SIGNER_CERT) == qm::kSignerCertSize);
static_assert(offsetof(qm::SIGNER_CERT, dwCertChoice) == 4);
static_assert(offsetof(qm::SIGNER_CERT, pCertStoreInfo) == 8);
static_assert(offsetof(qm::SIGNER_CERT, hwnd) == 12);

static_assert(sizeof(qm::SIGNER_ATTR_AUTHCODE) == qm::kSignerAttrAuthcodeSize);
static_assert(offsetof(qm::SIGNER_ATTR_AUTHCODE, fCommercial) == 4);
static_assert(offsetof(qm::SIGNER_ATTR_AUTHCODE, fIndividual) == 8);
static_assert(offsetof(qm::SIGNER_ATTR_AUTHCODE, pwszName) == 12);
static_assert(offsetof(qm::SIGNER_ATTR_AUTHCODE, pwszInfo) == 16);

static_assert(sizeof(qm::SIGNER_SIGNATURE_INFO) == qm::kSignerSignatureInfoSize);
static_assert(offsetof(qm::SIGNER_SIGNATURE_INFO, algidHash) == 4);
static_assert(offsetof(qm::SIGNER_SIGNATURE_INFO, dwAttrChoice) == 8);
static_assert(offsetof(qm::SIGNER_SIGNATURE_INFO, pAttrAuthcode) == 12);
static_assert(offsetof(qm::SIGNER_SIGNATURE_INFO, psAuthenticated) == 16);
static_assert(offsetof(qm::SIGNER_SIGNATURE_INFO, psUnauthenticated) == 20);

}  // namespace
