// Wildcard expansion over the platform's directory enumeration.
//
// The composed path is held in a buffer sized to the pattern and the name,
// so arguments and names of any length are handled rather than cut.
#include "cmdline/pattern.h"

#include <string>

#include "console/output.h"

namespace qm {

size_t InsertionPoint(const WCHAR* pattern, size_t length) {
    for (size_t i = length; i > 0; --i) {
        if (pattern[i - 1] == '/' || pattern[i - 1] == '\\') return i;
    }
    return 0;
}

void ExpandPattern(const WCHAR* pattern, bool verbose, FileList* files) {
    size_t length = WideLength(pattern);
    std::basic_string<WCHAR> path(pattern, length);
    size_t insertion = InsertionPoint(pattern, length);

    if (verbose) PrintWide(QM_WIDE("Adding %s:\n"), pattern);

    WIN32_FIND_DATAW entry{};
    HANDLE find = FindFirstFileW(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        size_t nameLength = 0;
        while (nameLength < MAX_PATH && entry.cFileName[nameLength] != 0) ++nameLength;
        path.resize(insertion);
        path.append(entry.cFileName, nameLength);
        if (verbose) PrintWide(QM_WIDE("  Add file: %s\n"), path.c_str());
        files->push_back(KeepString(path.data(), path.size()));
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

}  // namespace qm
