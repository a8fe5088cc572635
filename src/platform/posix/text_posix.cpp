// Lossless UTF-8 <-> UTF-16 for arguments, paths and settings text.
#include "platform/posix/text_posix.h"

namespace qm {

namespace {

void AppendUnit(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one.
// Overlong forms, surrogates and values above U+10FFFF are not valid, so
// their bytes are escaped one by one and come back unchanged.
size_t ValidSequence(std::string_view s, size_t i, char32_t* cp) {
    unsigned char b0 = static_cast<unsigned char>(s[i]);
    size_t need;
    char32_t min;
    if (b0 < 0x80) { *cp = b0; return 1; }
    if ((b0 & 0xE0) == 0xC0) { need = 2; min = 0x80; *cp = b0 & 0x1F; }
    else if ((b0 & 0xF0) == 0xE0) { need = 3; min = 0x800; *cp = b0 & 0x0F; }
    else if ((b0 & 0xF8) == 0xF0) { need = 4; min = 0x10000; *cp = b0 & 0x07; }
    else return 0;
    if (s.size() - i < need) return 0;
    for (size_t k = 1; k < need; ++k) {
        unsigned char b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        *cp = (*cp << 6) | (b & 0x3F);
    }
    if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return 0;
    return need;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

std::u16string WideFromBytes(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        char32_t cp = 0;
        size_t n = ValidSequence(bytes, i, &cp);
        if (n == 0) {
            out.push_back(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(bytes[i])));
            ++i;
        } else {
            AppendUnit(out, cp);
            i += n;
        }
    }
    return out;
}

std::string BytesFromWide(std::u16string_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (size_t i = 0; i < wide.size(); ++i) {
        char16_t u = wide[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
            wide[i + 1] <= 0xDFFF) {
            char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
            AppendUtf8(out, cp);
            ++i;
        } else if (u >= 0xDC80 && u <= 0xDCFF) {
            out.push_back(static_cast<char>(u - 0xDC00));  // an escaped byte
        } else {
            // Other lone surrogates have no UTF-8 form; they are written in
            // the generalised form, as the file system cannot see them anyway.
            AppendUtf8(out, u);
        }
    }
    return out;
}

std::string BytesFromWide(const char16_t* wide) {
    if (wide == nullptr) return std::string();
    return BytesFromWide(std::u16string_view(wide));
}

}  // namespace qm
