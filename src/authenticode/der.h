// A small DER writer and reader: just what the signature formats need.
// Writing builds complete TLV byte strings; reading walks a buffer without
// copying and checks every length against the bytes that are there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace authenticode {

typedef std::vector<uint8_t> Bytes;

namespace der {

constexpr uint8_t kBoolean = 0x01;
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kNull = 0x05;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kIa5String = 0x16;
constexpr uint8_t kBmpString = 0x1E;
constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kSet = 0x31;
// Context-specific tags: [n] constructed (EXPLICIT or IMPLICIT of a
// constructed type) and [n] primitive (IMPLICIT of a primitive type).
constexpr uint8_t ContextConstructed(uint8_t n) { return static_cast<uint8_t>(0xA0 | n); }
constexpr uint8_t ContextPrimitive(uint8_t n) { return static_cast<uint8_t>(0x80 | n); }

// ---- writing ------------------------------------------------------------

Bytes Tlv(uint8_t tag, const uint8_t* content, size_t size);
Bytes Tlv(uint8_t tag, const Bytes& content);
// A constructed value from already encoded parts, in the order given.
Bytes Wrap(uint8_t tag, const std::vector<Bytes>& parts);
// A SET OF in DER order: the encoded elements sorted as octet strings.
Bytes SetOf(std::vector<Bytes> elements);
// Dotted text such as "1.2.840.113549.1.7.2"; an empty result for bad text.
Bytes Oid(std::string_view dotted);
Bytes Null();
Bytes SmallInteger(uint32_t value);
// An INTEGER from unsigned big-endian magnitude bytes.
Bytes UnsignedInteger(const Bytes& magnitude);
Bytes OctetString(const Bytes& content);
Bytes BmpString(std::u16string_view text, uint8_t tag = kBmpString);
void Append(Bytes* out, const Bytes& more);

// ---- reading ------------------------------------------------------------

// One element of a buffer: its tag, the whole encoding and the content.
struct Element {
    uint8_t tag = 0;
    const uint8_t* start = nullptr;    // first byte of the tag
    size_t size = 0;                   // tag + length + content
    const uint8_t* content = nullptr;
    size_t content_size = 0;

    Bytes Encoded() const { return Bytes(start, start + size); }
    Bytes Content() const { return Bytes(content, content + content_size); }
};

// Reads consecutive elements from a byte range. Definite lengths only
// (DER), single-byte tags only; anything else is an error.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : pos_(data), end_(data + size) {}
    explicit Reader(const Element& constructed)
        : pos_(constructed.content), end_(constructed.content + constructed.content_size) {}

    bool AtEnd() const { return pos_ == end_; }
    // The next element; false at the end or on a malformed encoding.
    bool Next(Element* out);
    // The next element, which must carry `tag`.
    bool Expect(uint8_t tag, Element* out);
    // Peeks at the next tag; 0 at the end.
    uint8_t PeekTag() const { return pos_ < end_ ? *pos_ : 0; }

private:
    const uint8_t* pos_;
    const uint8_t* end_;
};

// Parses exactly one element that fills the whole buffer.
bool ParseWhole(const uint8_t* data, size_t size, Element* out);

}  // namespace der
}  // namespace authenticode
