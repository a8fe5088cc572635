// Run-time binding of the signing library on POSIX.
//
// "name.dll" stands for our own "libname.so". It is looked for beside the
// executable first (a build tree, or a folder the program was unpacked to),
// then in the installed library folder. Failures carry the Windows codes
// ERROR_MOD_NOT_FOUND (126) and ERROR_PROC_NOT_FOUND (127).
#include <dlfcn.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "platform/posix/text_posix.h"

#ifndef QM_INSTALL_LIBDIR
#define QM_INSTALL_LIBDIR "/usr/local/lib/quillmark"
#endif

namespace qm {

namespace {

std::string SharedObjectName(const std::string& name) {
    size_t n = name.size();
    if (n > 4) {
        std::string ext = name.substr(n - 4);
        for (char& c : ext) c = static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
        if (ext == ".dll") return "lib" + name.substr(0, n - 4) + ".so";
    }
    return name;
}

// The running executable's folder, with its trailing '/'; the path comes
// through GetModuleFileNameW, whose UTF-16 form converts back losslessly.
std::string ExecutableDirectory() {
    constexpr DWORD kSize = 32768;
    std::u16string wide(kSize, u'\0');
    DWORD n = GetModuleFileNameW(nullptr, wide.data(), kSize);
    if (n == 0 || n >= kSize) return std::string();
    wide.resize(n);
    std::string path = BytesFromWide(wide);
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Opens the library when the file exists; a file that is there but will not
// load ends the search rather than letting another copy stand in for it.
bool OpenIfPresent(const std::string& path, void** handle) {
    if (access(path.c_str(), F_OK) != 0) return false;
    *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return true;
}

}  // namespace

HMODULE LoadLibraryW(LPCWSTR name) {
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string file = SharedObjectName(BytesFromWide(name));
    void* handle = nullptr;
    if (file.find('/') != std::string::npos) {
        OpenIfPresent(file, &handle);
    } else {
        std::string besideExe = ExecutableDirectory();
        if (besideExe.empty() || !OpenIfPresent(besideExe + file, &handle)) {
            OpenIfPresent(std::string(QM_INSTALL_LIBDIR) + "/" + file, &handle);
        }
    }
    if (handle == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
    return handle;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (module == nullptr || name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* symbol = dlsym(module, name);
    if (symbol == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

}  // namespace qm
