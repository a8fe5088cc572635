// The HRESULT values the engine returns: the ones Windows returns for the
// same cause, so users can look them up.
#pragma once

#include <cstdint>

namespace authenticode {

constexpr int32_t Hr(uint32_t code) { return static_cast<int32_t>(code); }

constexpr int32_t kOk = 0;
constexpr int32_t kFileNotFound = Hr(0x80070002);
constexpr int32_t kPathNotFound = Hr(0x80070003);
constexpr int32_t kAccessDenied = Hr(0x80070005);
constexpr int32_t kOutOfMemory = Hr(0x8007000E);
constexpr int32_t kWriteProtect = Hr(0x80070013);       // ERROR_WRITE_PROTECT
constexpr int32_t kWriteFault = Hr(0x8007001D);         // ERROR_WRITE_FAULT
constexpr int32_t kReadFault = Hr(0x8007001E);          // ERROR_READ_FAULT
constexpr int32_t kSharingViolation = Hr(0x80070020);   // ERROR_SHARING_VIOLATION
constexpr int32_t kNotSupported = Hr(0x80070032);       // ERROR_NOT_SUPPORTED (hard links, cabinet sets, foreign reserves)
constexpr int32_t kHandleEof = Hr(0x80070026);          // ERROR_HANDLE_EOF
constexpr int32_t kInvalidArg = Hr(0x80070057);
constexpr int32_t kDiskFull = Hr(0x80070070);           // ERROR_DISK_FULL
constexpr int32_t kBadFormat = Hr(0x8007000B);          // ERROR_BAD_FORMAT (a broken cabinet)
constexpr int32_t kInvalidData = Hr(0x8007000D);        // ERROR_INVALID_DATA (a script block we cannot replace)
constexpr int32_t kBadExeFormat = Hr(0x800700C1);
constexpr int32_t kModNotFound = Hr(0x8007007E);        // ERROR_MOD_NOT_FOUND (a library a format needs, e.g. libgsf)
constexpr int32_t kNoUnicodeTranslation = Hr(0x80070459);  // ERROR_NO_UNICODE_TRANSLATION (script encoding)
constexpr int32_t kBadPackage = Hr(0x80070654);         // ERROR_INSTALL_PACKAGE_INVALID (a broken MSI)
constexpr int32_t kFilenameTooLong = Hr(0x800700CE);    // ERROR_FILENAME_EXCED_RANGE
constexpr int32_t kFileTooLarge = Hr(0x800700DF);       // ERROR_FILE_TOO_LARGE
constexpr int32_t kCantResolveName = Hr(0x80070781);    // ERROR_CANT_RESOLVE_FILENAME
constexpr int32_t kFail = Hr(0x80004005);               // E_FAIL
constexpr int32_t kSubjectFormUnknown = Hr(0x800B0003);  // TRUST_E_SUBJECT_FORM_UNKNOWN
constexpr int32_t kNoSignature = Hr(0x800B0100);        // TRUST_E_NOSIGNATURE
constexpr int32_t kBadSignatureFormat = Hr(0x80092002); // CRYPT_E_BAD_ENCODE (unreadable signature)
constexpr int32_t kBadMessage = Hr(0x8009200D);        // CRYPT_E_BAD_MSG (a broken catalog)
constexpr int32_t kNoKey = Hr(0x8009200B);              // CRYPT_E_NO_KEY_PROPERTY
constexpr int32_t kKeyNeedsPin = Hr(0x8010006F);        // SCARD_W_CARD_NOT_AUTHENTICATED
constexpr int32_t kWrongPin = Hr(0x8010006B);           // SCARD_W_WRONG_CHV
constexpr int32_t kPinLocked = Hr(0x8010006C);          // SCARD_W_CHV_BLOCKED
constexpr int32_t kBadAlgorithm = Hr(0x80090008);       // NTE_BAD_ALGID
constexpr int32_t kSignFailed = Hr(0x80090020);         // NTE_FAIL
constexpr int32_t kTimeStampFailed = Hr(0x80096005);    // TRUST_E_TIME_STAMP
constexpr int32_t kInetCannotConnect = Hr(0x80072EFD);  // ERROR_INTERNET_CANNOT_CONNECT
constexpr int32_t kInetNameNotResolved = Hr(0x80072EE7);
constexpr int32_t kInetTimeout = Hr(0x80072EE2);
constexpr int32_t kInetInvalidUrl = Hr(0x80072EE5);
constexpr int32_t kInetUnrecognizedScheme = Hr(0x80072EE6);
constexpr int32_t kInetConnectionAborted = Hr(0x80072EFE);
constexpr int32_t kInetSecureFailure = Hr(0x80072F8F);
constexpr int32_t kInetInvalidServerResponse = Hr(0x80072F78);  // ERROR_WINHTTP_INVALID_SERVER_RESPONSE
constexpr int32_t kInetRedirectFailed = Hr(0x80072F7C);         // ERROR_WINHTTP_REDIRECT_FAILED
// HTTP_E_STATUS_*: 0x80190000 | the HTTP status code.
constexpr int32_t HttpStatusCode(long status) {
    return Hr(0x80190000u | (static_cast<uint32_t>(status) & 0xFFFFu));
}

}  // namespace authenticode
