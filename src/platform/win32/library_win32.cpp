// Run-time binding of the platform's signing library on Windows.
//
// The library is taken from the system folder only. Loading it by bare name
// would search the executable's own folder first, so a DLL of the same name
// dropped beside quillmark.exe (a downloads folder, a build output folder)
// would run with the signing user's rights and see the signing key.

// The boundary header comes first: <windows.h> turns many of its names
// (MAX_PATH, STD_OUTPUT_HANDLE, ...) into macros.
#include "platform/platform.h"

#include <windows.h>

#include <cwchar>

namespace qm {
namespace {

// Systems that predate the LOAD_LIBRARY_SEARCH_* flags refuse them with
// ERROR_INVALID_PARAMETER; there the full path into the system folder gives
// the same guarantee.
::HMODULE LoadFromSystemFolderByPath(LPCWSTR name) {
    WCHAR path[MAX_PATH + 1];
    const UINT dir = ::GetSystemDirectoryW(path, MAX_PATH);
    const size_t name_length = std::wcslen(name);
    if (dir == 0 || dir + 1 + name_length >= MAX_PATH) {
        ::SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    path[dir] = L'\\';
    std::wmemcpy(path + dir + 1, name, name_length + 1);
    return ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

HMODULE LoadLibraryW(LPCWSTR name) {
    ::HMODULE module = ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr && ::GetLastError() == ERROR_INVALID_PARAMETER)
        module = LoadFromSystemFolderByPath(name);
    return module;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    return reinterpret_cast<FARPROC>(::GetProcAddress(static_cast<::HMODULE>(module), name));
}

}  // namespace qm
