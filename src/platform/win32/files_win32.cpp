// Executable path and wildcard directory enumeration on Windows: the
// platform's own matching rules (case-insensitive, short names) apply.

// The boundary header comes first: <windows.h> turns many of its names
// (MAX_PATH, STD_OUTPUT_HANDLE, ...) into macros.
#include "platform/platform.h"

#include <windows.h>

namespace qm {

DWORD GetModuleFileNameW(HMODULE module, WCHAR* buffer, DWORD size) {
    return ::GetModuleFileNameW(static_cast<::HMODULE>(module), buffer, size);
}

HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) {
    return ::FindFirstFileW(pattern, reinterpret_cast<::WIN32_FIND_DATAW*>(data));
}

BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) {
    return ::FindNextFileW(find, reinterpret_cast<::WIN32_FIND_DATAW*>(data));
}

BOOL FindClose(HANDLE find) { return ::FindClose(find); }

}  // namespace qm
