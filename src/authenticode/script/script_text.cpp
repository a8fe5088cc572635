// The text side of signing scripts: names, encodings, the block finder and
// the block writer (see script_text.h).
#include "authenticode/script/script_text.h"

#include "authenticode/hresult.h"

namespace authenticode::script {
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kLineChars = 64;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EndsWithFolded(std::string_view path, std::string_view suffix) {
    if (path.size() < suffix.size()) return false;
    std::string_view tail = path.substr(path.size() - suffix.size());
    for (size_t i = 0; i < suffix.size(); ++i) {
        if (Lower(tail[i]) != suffix[i]) return false;
    }
    return true;
}

std::string_view OpenMark(CommentStyle style) { return style == CommentStyle::kXml ? "<!-- " : "# "; }
std::string_view CloseMark(CommentStyle style) { return style == CommentStyle::kXml ? " -->" : ""; }

// The file as a row of text units: bytes, or 16-bit little-endian units.
struct Units {
    const uint8_t* data;
    size_t count;
    bool wide;
    uint32_t At(size_t i) const { return wide ? (data[2 * i] | (uint32_t{data[2 * i + 1]} << 8)) : data[i]; }
    bool Matches(size_t at, std::string_view text) const {
        if (at > count || count - at < text.size()) return false;
        for (size_t k = 0; k < text.size(); ++k) {
            if (At(at + k) != static_cast<uint8_t>(text[k])) return false;
        }
        return true;
    }
    // The end of the line starting at `at` (the index of its '\n', or count)
    // and the end of its text (without a '\r' before the '\n').
    void Line(size_t at, size_t* text_end, size_t* next) const {
        size_t i = at;
        while (i < count && At(i) != '\n') ++i;
        *next = i < count ? i + 1 : count;
        *text_end = (i > at && At(i - 1) == '\r') ? i - 1 : i;
    }
};

int Base64Value(uint32_t c) {
    if (c >= 'A' && c <= 'Z') return static_cast<int>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<int>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Strict base64 with '=' padding; false on anything else.
bool DecodeBase64(const std::string& text, Bytes* out) {
    out->clear();
    if (text.size() % 4 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 4) {
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                v[k] = 0;
                ++pad;
            } else {
                if (pad != 0) return false;
                v[k] = Base64Value(static_cast<uint8_t>(c));
                if (v[k] < 0) return false;
            }
        }
        uint32_t n = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) | (uint32_t(v[2]) << 6) | uint32_t(v[3]);
        out->push_back(static_cast<uint8_t>(n >> 16));
        if (pad < 2) out->push_back(static_cast<uint8_t>(n >> 8));
        if (pad < 1) out->push_back(static_cast<uint8_t>(n));
    }
    return true;
}

std::string EncodeBase64(const Bytes& data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    for (size_t i = 0; i < data.size(); i += 3) {
        uint32_t n = uint32_t{data[i]} << 16;
        if (i + 1 < data.size()) n |= uint32_t{data[i + 1]} << 8;
        if (i + 2 < data.size()) n |= data[i + 2];
        out.push_back(kBase64[(n >> 18) & 63]);
        out.push_back(kBase64[(n >> 12) & 63]);
        out.push_back(i + 1 < data.size() ? kBase64[(n >> 6) & 63] : '=');
        out.push_back(i + 2 < data.size() ? kBase64[n & 63] : '=');
    }
    return out;
}

// One UTF-8 sequence at `p` (with `left` bytes there): its code point and
// length, or false when it is not well formed (overlong, surrogate, above
// U+10FFFF, cut short).
bool NextCodePoint(const uint8_t* p, size_t left, uint32_t* cp, size_t* length) {
    uint8_t b = p[0];
    if (b < 0x80) {
        *cp = b;
        *length = 1;
        return true;
    }
    size_t n;
    uint32_t min;
    if ((b & 0xE0) == 0xC0) {
        n = 2, min = 0x80, *cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        n = 3, min = 0x800, *cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        n = 4, min = 0x10000, *cp = b & 0x07;
    } else {
        return false;
    }
    if (left < n) return false;
    for (size_t k = 1; k < n; ++k) {
        if ((p[k] & 0xC0) != 0x80) return false;
        *cp = (*cp << 6) | (p[k] & 0x3F);
    }
    if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return false;
    *length = n;
    return true;
}

}  // namespace

CommentStyle StyleForPath(std::string_view path) {
    size_t slash = path.find_last_of('/');
    if (slash != std::string_view::npos) path = path.substr(slash + 1);
    for (std::string_view ext : {".ps1", ".psm1", ".psd1"}) {
        if (EndsWithFolded(path, ext)) return CommentStyle::kHash;
    }
    for (std::string_view ext : {".ps1xml", ".psc1", ".cdxml"}) {
        if (EndsWithFolded(path, ext)) return CommentStyle::kXml;
    }
    return CommentStyle::kNone;
}

int32_t CheckEncoding(const uint8_t* text, size_t size, Encoding* encoding) {
    if (size >= 2 && text[0] == 0xFF && text[1] == 0xFE) {
        *encoding = Encoding::kUtf16Le;
        return size % 2 == 0 ? kOk : kNoUnicodeTranslation;
    }
    if (size >= 2 && text[0] == 0xFE && text[1] == 0xFF) return kNoUnicodeTranslation;  // UTF-16BE
    if (size >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF) {
        *encoding = Encoding::kUtf8Bom;
        for (size_t i = 0; i < size;) {
            uint32_t cp;
            size_t length;
            if (!NextCodePoint(text + i, size - i, &cp, &length)) return kNoUnicodeTranslation;
            i += length;
        }
        return kOk;
    }
    *encoding = Encoding::kAscii;
    for (size_t i = 0; i < size; ++i) {
        // Without a BOM, Windows reads such bytes in the machine's code page.
        if (text[i] >= 0x80) return kNoUnicodeTranslation;
    }
    return kOk;
}

int32_t FindBlock(const uint8_t* data, size_t size, CommentStyle style, bool utf16, BlockLayout* out) {
    *out = BlockLayout{};
    if (utf16 && size % 2 != 0) return kNoUnicodeTranslation;
    Units units{data, utf16 ? size / 2 : size, utf16};
    const std::string open(OpenMark(style)), close(CloseMark(style));
    const std::string header = open + "SIG # Begin signature block" + close;
    const std::string footer = open + "SIG # End signature block" + close;
    const size_t unit_bytes = utf16 ? 2 : 1;

    size_t begin = units.count;
    for (size_t at = 0; at < units.count;) {
        if (units.Matches(at, header)) {
            size_t line_end, next;
            units.Line(at, &line_end, &next);
            if (line_end == at + header.size()) {
                begin = at;
                break;
            }
        }
        size_t line_end, next;
        units.Line(at, &line_end, &next);
        at = next;
    }
    out->text_end = size;
    if (begin == units.count) return kOk;

    out->has_block = true;
    size_t text_end = begin;
    if (text_end > 0 && units.At(text_end - 1) == '\n') --text_end;
    if (text_end > 0 && units.At(text_end - 1) == '\r') --text_end;
    out->text_end = text_end * unit_bytes;

    size_t line_end, at;
    units.Line(begin, &line_end, &at);
    std::string base64;
    for (;;) {
        if (at >= units.count) return kInvalidData;  // no end line
        size_t next;
        units.Line(at, &line_end, &next);
        if (line_end - at == footer.size() && units.Matches(at, footer)) {
            at = next;
            break;
        }
        size_t body = at + open.size();
        if (line_end - at < open.size() + close.size() || !units.Matches(at, open) ||
            !units.Matches(line_end - close.size(), close)) {
            return kInvalidData;
        }
        for (size_t i = body; i < line_end - close.size(); ++i) {
            uint32_t c = units.At(i);
            if (Base64Value(c) < 0 && c != '=') return kInvalidData;
            base64.push_back(static_cast<char>(c));
        }
        at = next;
    }
    // Only blank space may follow: anything else would be lost on replacing.
    for (size_t i = at; i < units.count; ++i) {
        uint32_t c = units.At(i);
        if (c != '\r' && c != '\n' && c != ' ' && c != '\t') return kInvalidData;
    }
    if (!DecodeBase64(base64, &out->signature)) out->signature.clear();
    return kOk;
}

void FeedUtf16(const uint8_t* text, size_t size, Encoding encoding, Utf16Sink sink, void* context) {
    if (encoding == Encoding::kUtf16Le) {
        sink(text, size, context);
        return;
    }
    uint8_t buffer[32768];
    size_t used = 0;
    for (size_t i = 0; i < size;) {
        uint32_t cp = 0xFFFD;
        size_t length = 1;
        if (!NextCodePoint(text + i, size - i, &cp, &length)) cp = 0xFFFD, length = 1;
        i += length;
        if (used + 4 > sizeof buffer) {
            sink(buffer, used, context);
            used = 0;
        }
        if (cp >= 0x10000) {
            uint32_t v = cp - 0x10000;
            uint32_t high = 0xD800 | (v >> 10), low = 0xDC00 | (v & 0x3FF);
            buffer[used++] = static_cast<uint8_t>(high);
            buffer[used++] = static_cast<uint8_t>(high >> 8);
            buffer[used++] = static_cast<uint8_t>(low);
            buffer[used++] = static_cast<uint8_t>(low >> 8);
        } else {
            buffer[used++] = static_cast<uint8_t>(cp);
            buffer[used++] = static_cast<uint8_t>(cp >> 8);
        }
    }
    if (used != 0) sink(buffer, used, context);
}

Bytes EncodeBlock(const Bytes& der, CommentStyle style, bool utf16) {
    const std::string open(OpenMark(style)), close(CloseMark(style));
    std::string text = "\r\n" + open + "SIG # Begin signature block" + close;
    std::string base64 = EncodeBase64(der);
    for (size_t i = 0; i < base64.size(); i += kLineChars) {
        text += "\r\n" + open + base64.substr(i, kLineChars) + close;
    }
    text += "\r\n" + open + "SIG # End signature block" + close + "\r\n";
    Bytes out;
    out.reserve(text.size() * (utf16 ? 2 : 1));
    for (char c : text) {
        out.push_back(static_cast<uint8_t>(c));
        if (utf16) out.push_back(0);
    }
    return out;
}

}  // namespace authenticode::script
