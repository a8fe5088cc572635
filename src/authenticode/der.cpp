// DER encoding and bounds-checked decoding of the few ASN.1 shapes in use.
#include "der.h"

#include <algorithm>

namespace authenticode::der {

namespace {

void AppendLength(Bytes* out, size_t length) {
    if (length < 0x80) {
        out->push_back(static_cast<uint8_t>(length));
        return;
    }
    uint8_t digits[sizeof(size_t)];
    int count = 0;
    while (length > 0) {
        digits[count++] = static_cast<uint8_t>(length & 0xFF);
        length >>= 8;
    }
    out->push_back(static_cast<uint8_t>(0x80 | count));
    while (count > 0) out->push_back(digits[--count]);
}

// X.690 11.6: compare as octet strings, the shorter padded with zero octets.
bool DerSetLess(const Bytes& a, const Bytes& b) {
    size_t n = std::max(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        uint8_t x = i < a.size() ? a[i] : 0;
        uint8_t y = i < b.size() ? b[i] : 0;
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

}  // namespace

Bytes Tlv(uint8_t tag, const uint8_t* content, size_t size) {
    Bytes out;
    out.reserve(size + 6);
    out.push_back(tag);
    AppendLength(&out, size);
    out.insert(out.end(), content, content + size);
    return out;
}

Bytes Tlv(uint8_t tag, const Bytes& content) { return Tlv(tag, content.data(), content.size()); }

void Append(Bytes* out, const Bytes& more) { out->insert(out->end(), more.begin(), more.end()); }

Bytes Wrap(uint8_t tag, const std::vector<Bytes>& parts) {
    Bytes content;
    for (const Bytes& p : parts) Append(&content, p);
    return Tlv(tag, content);
}

Bytes SetOf(std::vector<Bytes> elements) {
    std::sort(elements.begin(), elements.end(), DerSetLess);
    return Wrap(kSet, elements);
}

Bytes Oid(std::string_view dotted) {
    std::vector<uint64_t> arcs;
    uint64_t value = 0;
    bool have_digit = false;
    for (size_t i = 0; i <= dotted.size(); ++i) {
        if (i == dotted.size() || dotted[i] == '.') {
            if (!have_digit) return {};
            arcs.push_back(value);
            value = 0;
            have_digit = false;
        } else if (dotted[i] >= '0' && dotted[i] <= '9') {
            if (value > (UINT64_MAX - 9) / 10) return {};
            value = value * 10 + static_cast<uint64_t>(dotted[i] - '0');
            have_digit = true;
        } else {
            return {};
        }
    }
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40)) return {};
    if (arcs[1] > UINT64_MAX - 80) return {};
    Bytes content;
    auto base128 = [&content](uint64_t v) {
        uint8_t groups[10];
        int count = 0;
        do {
            groups[count++] = static_cast<uint8_t>(v & 0x7F);
            v >>= 7;
        } while (v > 0);
        while (count > 1) content.push_back(static_cast<uint8_t>(0x80 | groups[--count]));
        content.push_back(groups[0]);
    };
    base128(arcs[0] * 40 + arcs[1]);
    for (size_t i = 2; i < arcs.size(); ++i) base128(arcs[i]);
    return Tlv(kOid, content);
}

Bytes Null() { return Bytes{kNull, 0x00}; }

Bytes SmallInteger(uint32_t value) {
    Bytes magnitude;
    for (int shift = 24; shift >= 0; shift -= 8) {
        uint8_t b = static_cast<uint8_t>(value >> shift);
        if (!magnitude.empty() || b != 0) magnitude.push_back(b);
    }
    return UnsignedInteger(magnitude);
}

Bytes UnsignedInteger(const Bytes& magnitude) {
    size_t skip = 0;
    while (skip < magnitude.size() && magnitude[skip] == 0) ++skip;
    Bytes content;
    if (skip == magnitude.size() || (magnitude[skip] & 0x80) != 0) content.push_back(0x00);
    content.insert(content.end(), magnitude.begin() + static_cast<ptrdiff_t>(skip), magnitude.end());
    return Tlv(kInteger, content);
}

Bytes OctetString(const Bytes& content) { return Tlv(kOctetString, content); }

Bytes BmpString(std::u16string_view text, uint8_t tag) {
    Bytes content;
    content.reserve(text.size() * 2);
    for (char16_t c : text) {
        content.push_back(static_cast<uint8_t>(c >> 8));
        content.push_back(static_cast<uint8_t>(c & 0xFF));
    }
    return Tlv(tag, content);
}

bool Reader::Next(Element* out) {
    if (pos_ >= end_) return false;
    const uint8_t* p = pos_;
    uint8_t tag = *p++;
    if ((tag & 0x1F) == 0x1F) return false;  // multi-byte tags do not occur here
    if (p >= end_) return false;
    size_t length = 0;
    uint8_t first = *p++;
    if (first < 0x80) {
        length = first;
    } else {
        int count = first & 0x7F;
        if (count == 0 || count > 4) return false;  // indefinite or absurd
        if (end_ - p < count) return false;
        for (int i = 0; i < count; ++i) length = (length << 8) | *p++;
        if (length < 0x80) return false;  // not minimal: not DER
    }
    if (static_cast<size_t>(end_ - p) < length) return false;
    out->tag = tag;
    out->start = pos_;
    out->content = p;
    out->content_size = length;
    out->size = static_cast<size_t>(p - pos_) + length;
    pos_ = p + length;
    return true;
}

bool Reader::Expect(uint8_t tag, Element* out) {
    if (PeekTag() != tag) return false;
    return Next(out);
}

bool ParseWhole(const uint8_t* data, size_t size, Element* out) {
    Reader r(data, size);
    return r.Next(out) && r.AtEnd();
}

}  // namespace authenticode::der
