// Settings (INI) file reading on Windows: the platform's profile reader.

// The boundary header comes first: <windows.h> turns many of its names
// (MAX_PATH, STD_OUTPUT_HANDLE, ...) into macros.
#include "platform/platform.h"

#include <windows.h>

namespace qm {

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR fallback,
                               WCHAR* buffer, DWORD size, LPCWSTR file) {
    return ::GetPrivateProfileStringW(section, key, fallback, buffer, size, file);
}

}  // namespace qm
