// The HRESULT values the PE side of the engine returns: the ones Windows
// returns for the same cause, so users can look them up.
#pragma once

#include <cstdint>

namespace authenticode::pe {

constexpr int32_t Hresult(uint32_t code) { return static_cast<int32_t>(code); }

constexpr int32_t kOk = 0;
constexpr int32_t kFileNotFound = Hresult(0x80070002);     // ERROR_FILE_NOT_FOUND
constexpr int32_t kPathNotFound = Hresult(0x80070003);     // ERROR_PATH_NOT_FOUND
constexpr int32_t kAccessDenied = Hresult(0x80070005);     // ERROR_ACCESS_DENIED
constexpr int32_t kOutOfMemory = Hresult(0x8007000E);      // E_OUTOFMEMORY
constexpr int32_t kWriteProtect = Hresult(0x80070013);     // ERROR_WRITE_PROTECT
constexpr int32_t kWriteFault = Hresult(0x8007001D);       // ERROR_WRITE_FAULT
constexpr int32_t kReadFault = Hresult(0x8007001E);        // ERROR_READ_FAULT
constexpr int32_t kHandleEof = Hresult(0x80070026);        // ERROR_HANDLE_EOF
constexpr int32_t kInvalidArg = Hresult(0x80070057);       // E_INVALIDARG
constexpr int32_t kDiskFull = Hresult(0x80070070);         // ERROR_DISK_FULL
constexpr int32_t kBadExeFormat = Hresult(0x800700C1);     // ERROR_BAD_EXE_FORMAT
constexpr int32_t kFilenameTooLong = Hresult(0x800700CE);  // ERROR_FILENAME_EXCED_RANGE
constexpr int32_t kFileTooLarge = Hresult(0x800700DF);     // ERROR_FILE_TOO_LARGE
constexpr int32_t kCantResolveName = Hresult(0x80070781);  // ERROR_CANT_RESOLVE_FILENAME
constexpr int32_t kFail = Hresult(0x80004005);             // E_FAIL
constexpr int32_t kSubjectFormUnknown = Hresult(0x800B0003);  // TRUST_E_SUBJECT_FORM_UNKNOWN

}  // namespace authenticode::pe
