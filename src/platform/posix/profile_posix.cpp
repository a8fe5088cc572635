// Profile (INI) reading on POSIX.
//
// Section and key names match regardless of case, the first match wins,
// blanks around keys and values are trimmed, one pair of surrounding quotes
// is removed, and lines starting with ';' are comments. The file is UTF-8
// (a BOM is skipped) or UTF-16LE with a BOM. It is read as a stream with a
// bound on what is kept of each line, so a file of any size or content is
// read in bounded memory.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "platform/platform.h"
#include "platform/posix/text_posix.h"

namespace qm {

namespace {

// What is kept of one line; the rest of a longer line is dropped. Section
// and key names and values that matter are far shorter.
constexpr size_t kLineLimit = 64 * 1024;

char16_t Fold(char16_t c) {
    if (c >= 'A' && c <= 'Z') return static_cast<char16_t>(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
    return c;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i])) return false;
    }
    return true;
}

bool IsBlank(char16_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::u16string_view Trim(std::u16string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

struct Lookup {
    std::u16string_view section;
    std::u16string_view key;
    bool inSection = false;
    bool found = false;
    std::u16string value;
};

void ConsiderLine(Lookup* q, std::u16string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() == ';') return;
    if (line.front() == '[') {
        size_t close = line.find(']');
        if (close == std::u16string_view::npos) return;
        q->inSection = SameName(Trim(line.substr(1, close - 1)), q->section);
        return;
    }
    if (!q->inSection) return;
    size_t eq = line.find('=');
    if (eq == std::u16string_view::npos) return;
    if (!SameName(Trim(line.substr(0, eq)), q->key)) return;
    std::u16string_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    size_t nul = value.find(u'\0');
    if (nul != std::u16string_view::npos) value = value.substr(0, nul);
    q->value.assign(value);
    q->found = true;
}

enum class Encoding { kUtf8, kUtf16Le };

std::u16string DecodeLine(const std::string& raw, Encoding encoding) {
    if (encoding == Encoding::kUtf8) return WideFromBytes(raw);
    std::u16string line;
    for (size_t i = 0; i + 1 < raw.size(); i += 2) {
        line.push_back(static_cast<char16_t>(static_cast<unsigned char>(raw[i]) |
                                             (static_cast<unsigned char>(raw[i + 1]) << 8)));
    }
    return line;
}

// Feeds the file's lines to the lookup until it has its answer. Returns
// false when the file cannot be read; anything but a regular file (a
// folder, or a FIFO that would wait for a writer) counts as unreadable.
bool ScanFile(const std::string& path, Lookup* q) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    Encoding encoding = Encoding::kUtf8;
    size_t unitSize = 1;
    std::string unit;      // bytes of the code unit being read
    std::string line;      // bytes of the current line, without its end
    bool lineCut = false;  // the line is past the limit; the rest is dropped
    bool first = true;
    char buffer[65536];
    while (!q->found) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0) break;
        std::string_view chunk(buffer, static_cast<size_t>(n));
        if (first) {
            // A regular file's first read holds the whole byte order mark.
            first = false;
            if (chunk.substr(0, 2) == "\xFF\xFE") {
                encoding = Encoding::kUtf16Le;
                unitSize = 2;
                chunk.remove_prefix(2);
            } else if (chunk.substr(0, 3) == "\xEF\xBB\xBF") {
                chunk.remove_prefix(3);
            }
        }
        for (char c : chunk) {
            unit.push_back(c);
            if (unit.size() < unitSize) continue;
            if (unit[0] == '\n' && (unitSize == 1 || unit[1] == '\0')) {
                ConsiderLine(q, DecodeLine(line, encoding));
                line.clear();
                lineCut = false;
                if (q->found) break;
            } else if (!lineCut) {
                line += unit;
                lineCut = line.size() >= kLineLimit;
            }
            unit.clear();
        }
    }
    if (!q->found && !line.empty()) ConsiderLine(q, DecodeLine(line, encoding));
    close(fd);
    return true;
}

DWORD CopyOut(std::u16string_view text, WCHAR* buffer, DWORD size) {
    size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    std::copy_n(text.begin(), n, buffer);
    buffer[n] = 0;
    return static_cast<DWORD>(n);
}

}  // namespace

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR fallback, WCHAR* buffer,
                               DWORD size, LPCWSTR file) {
    if (buffer == nullptr || size == 0) return 0;
    std::u16string_view def = fallback != nullptr ? std::u16string_view(fallback) : u"";
    if (section == nullptr || key == nullptr || file == nullptr) {
        // Listing sections or keys is not something this program asks for.
        buffer[0] = 0;
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Lookup q;
    q.section = section;
    q.key = key;
    if (!ScanFile(BytesFromWide(file), &q)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return CopyOut(def, buffer, size);
    }
    if (!q.found) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return CopyOut(def, buffer, size);
    }
    SetLastError(ERROR_SUCCESS);
    return CopyOut(q.value, buffer, size);
}

}  // namespace qm
