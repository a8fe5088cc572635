// Formatting of the program's messages and the usage text.
#include "console/output.h"

#include <memory>
#include <string>
#include <vector>

namespace qm {

namespace {

void AppendWideAsBytes(std::string& out, const WCHAR* text) {
    for (; *text != 0; ++text) {
        auto unit = static_cast<uint32_t>(*text);
        out.push_back(unit <= 0xFF ? static_cast<char>(unit) : '?');
    }
}

void AppendNarrow(std::string& out, const char* text) { out.append(text); }

void AppendString(std::string& out, const char* text) { AppendNarrow(out, text); }
void AppendString(std::string& out, const WCHAR* text) { AppendWideAsBytes(out, text); }

void AppendDecimal(std::string& out, int32_t value) {
    char digits[12];
    int n = 0;
    // Work in 64 bits so that the most negative value needs no special case.
    int64_t v = value;
    bool negative = v < 0;
    if (negative) v = -v;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (negative) out.push_back('-');
    while (n > 0) out.push_back(digits[--n]);
}

void AppendHex(std::string& out, uint32_t value) {
    static const char kDigits[] = "0123456789abcdef";
    char digits[8];
    int n = 0;
    do {
        digits[n++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (n > 0) out.push_back(digits[--n]);
}

template <typename Char>
std::string Format(const Char* format, va_list args) {
    std::string out;
    for (const Char* p = format; *p != 0; ++p) {
        if (*p != '%') {
            out.push_back(static_cast<char>(*p));
            continue;
        }
        Char conversion = p[1];
        if (conversion == 'd') {
            AppendDecimal(out, static_cast<int32_t>(va_arg(args, int)));
        } else if (conversion == 'x') {
            AppendHex(out, static_cast<uint32_t>(va_arg(args, unsigned int)));
        } else if (conversion == 's') {
            const Char* text = va_arg(args, const Char*);
            if (text == nullptr) {
                out.append("(null)");
            } else {
                AppendString(out, text);
            }
        } else if (conversion == '%') {
            out.push_back('%');
        } else {
            out.push_back('%');  // not a format this program uses: shown as is
            continue;
        }
        ++p;
    }
    return out;
}

// A text that ends a line is flushed whatever the output is: a CI log or a
// pipe then holds every finished line even when the run is killed halfway.
// A terminal already gets every write at once.
void Write(const std::string& text) {
    WriteStandardOutput(text.data(), text.size());
    if (!text.empty() && text.back() == '\n') FlushStandardOutput();
}

}  // namespace

void PrintNarrowV(const char* format, va_list args) { Write(Format(format, args)); }

void PrintNarrow(const char* format, ...) {
    va_list args;
    va_start(args, format);
    PrintNarrowV(format, args);
    va_end(args);
}

void PrintWide(const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    Write(Format(format, args));
    va_end(args);
}

void PrintUsage() {
    PrintNarrow(
        "quillmark <options> file1 file2 ... fileN\n"
        "    /n <name or sha1> Specify the Subject Name or SHA1 thumbprint of the signing cert\n"
        "    /t <URL> Specifies the RFC 3161 timestamp server's URL\n"
        "    /v       Print verbose success and status messages\n");
}

const WCHAR* KeepString(const WCHAR* text, size_t length) {
    // Held for the life of the process, as the option values and file list
    // entries that point here are.
    static std::vector<std::unique_ptr<WCHAR[]>> kept;
    auto copy = std::make_unique<WCHAR[]>(length + 1);
    for (size_t i = 0; i < length; ++i) copy[i] = text[i];
    copy[length] = 0;
    kept.push_back(std::move(copy));
    return kept.back().get();
}

size_t WideLength(const WCHAR* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

}  // namespace qm
