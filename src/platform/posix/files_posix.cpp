// Executable path and directory enumeration on POSIX.
//
// Enumeration follows the Windows rules the program is written for: '/'
// and '\' both separate directories, wildcards ('*', '?') apply to the last
// component only, letters match regardless of case, a trailing ".*" also
// matches names without an extension, and hidden files are included. Each
// entry is reported by its name alone, so that the name written after the
// pattern's last separator names the file that matched. Entries come in
// byte order of their names, so runs are repeatable.
#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/text_posix.h"

namespace qm {

namespace {

struct FoundEntry {
    std::string name;  // bytes as the file system has them
    DWORD attributes;
    uint64_t size;
};

struct FindState {
    std::vector<FoundEntry> entries;
    size_t next;
};

char16_t FoldCase(char16_t c) { return (c >= 'A' && c <= 'Z') ? static_cast<char16_t>(c + 32) : c; }

bool MatchFrom(const std::u16string& p, size_t pi, const std::u16string& n, size_t ni) {
    // Iterative wildcard match with backtracking to the last '*'.
    size_t starP = std::u16string::npos, starN = 0;
    while (ni < n.size()) {
        if (pi < p.size() && (p[pi] == u'?' || FoldCase(p[pi]) == FoldCase(n[ni]))) {
            ++pi;
            ++ni;
        } else if (pi < p.size() && p[pi] == u'*') {
            starP = pi++;
            starN = ni;
        } else if (starP != std::u16string::npos) {
            pi = starP + 1;
            ni = ++starN;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == u'*') ++pi;
    return pi == p.size();
}

bool NameMatches(const std::u16string& pattern, const std::u16string& name) {
    if (MatchFrom(pattern, 0, name, 0)) return true;
    size_t n = pattern.size();
    if (n >= 2 && pattern[n - 2] == u'.' && pattern[n - 1] == u'*' &&
        name.find(u'.') == std::u16string::npos) {
        return MatchFrom(pattern.substr(0, n - 2), 0, name, 0);
    }
    return false;
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        default: return ERROR_PATH_NOT_FOUND;
    }
}

void FillFindData(const FoundEntry& e, WIN32_FIND_DATAW* data) {
    *data = WIN32_FIND_DATAW{};
    data->dwFileAttributes = e.attributes;
    data->nFileSizeHigh = static_cast<DWORD>(e.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(e.size & 0xFFFFFFFFu);
    std::u16string wide = WideFromBytes(e.name);
    size_t n = std::min(wide.size(), static_cast<size_t>(MAX_PATH - 1));
    for (size_t i = 0; i < n; ++i) data->cFileName[i] = wide[i];
    data->cFileName[n] = 0;
}

}  // namespace

DWORD GetModuleFileNameW(HMODULE module, WCHAR* buffer, DWORD size) {
    if (module != nullptr || buffer == nullptr || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string path(256, '\0');
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) {
            SetLastError(ErrorFromErrno(errno));
            return 0;
        }
        if (static_cast<size_t>(n) < path.size()) {
            path.resize(static_cast<size_t>(n));
            break;
        }
        path.resize(path.size() * 2);
    }
    std::u16string wide = WideFromBytes(path);
    if (wide.size() >= size) {
        // As on Windows: the path cut to fit, terminated, and the size returned.
        std::copy_n(wide.begin(), size - 1, buffer);
        buffer[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::copy(wide.begin(), wide.end(), buffer);
    buffer[wide.size()] = 0;
    return static_cast<DWORD>(wide.size());
}

HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) {
    if (pattern == nullptr || data == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string full(pattern);
    size_t cut = full.find_last_of(u"/\\");
    cut = (cut == std::u16string::npos) ? 0 : cut + 1;
    std::u16string namePattern = full.substr(cut);
    std::u16string dirWide = full.substr(0, cut);
    std::replace(dirWide.begin(), dirWide.end(), u'\\', u'/');
    std::string dir = dirWide.empty() ? std::string("./") : BytesFromWide(dirWide);
    if (namePattern.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }

    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    auto* state = new FindState{{}, 0};
    while (struct dirent* ent = readdir(d)) {
        std::string name = ent->d_name;
        std::u16string wideName = WideFromBytes(name);
        // A name that cannot be reported whole is not reported at all.
        if (wideName.size() >= MAX_PATH || !NameMatches(namePattern, wideName)) continue;
        struct stat st;
        DWORD attributes = FILE_ATTRIBUTE_NORMAL;
        uint64_t size = 0;
        // stat follows links: a link to a directory counts as a directory.
        if (stat((dir + name).c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) attributes = FILE_ATTRIBUTE_DIRECTORY;
            size = static_cast<uint64_t>(st.st_size);
        }
        state->entries.push_back(FoundEntry{name, attributes, size});
    }
    closedir(d);
    if (state->entries.empty()) {
        delete state;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::sort(state->entries.begin(), state->entries.end(),
              [](const FoundEntry& a, const FoundEntry& b) { return a.name < b.name; });
    FillFindData(state->entries[0], data);
    state->next = 1;
    return state;
}

BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) {
    if (find == nullptr || find == INVALID_HANDLE_VALUE || data == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto* state = static_cast<FindState*>(find);
    if (state->next >= state->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return 0;
    }
    FillFindData(state->entries[state->next++], data);
    return 1;
}

BOOL FindClose(HANDLE find) {
    if (find == nullptr || find == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    delete static_cast<FindState*>(find);
    return 1;
}

}  // namespace qm
