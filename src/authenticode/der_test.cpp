// The DER writer against known encodings, and the reader against the
// malformed shapes it must refuse.
#include "der.h"

#include <gtest/gtest.h>

namespace authenticode::der {
namespace {

TEST(Der, OidKnownEncodingsAndBadText) {
    EXPECT_EQ(Oid("1.2.840.113549.1.7.2"), (Bytes{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02}));
    EXPECT_EQ(Oid("2.16.840.1.101.3.4.2.1"),
              (Bytes{0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01}));
    EXPECT_EQ(Oid("1.3.6.1.4.1.311.2.1.4"), (Bytes{0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04}));
    for (const char* bad : {"", "1", "1.", ".1.2", "1..2", "3.1", "1.40", "1.2.x", "1.2.99999999999999999999999"}) {
        EXPECT_TRUE(Oid(bad).empty()) << bad;
    }
}

TEST(Der, IntegersAreMinimalAndPositive) {
    EXPECT_EQ(SmallInteger(0), (Bytes{0x02, 0x01, 0x00}));
    EXPECT_EQ(SmallInteger(1), (Bytes{0x02, 0x01, 0x01}));
    EXPECT_EQ(SmallInteger(0x80), (Bytes{0x02, 0x02, 0x00, 0x80}));
    EXPECT_EQ(UnsignedInteger({0x00, 0x00, 0x7F, 0x01}), (Bytes{0x02, 0x02, 0x7F, 0x01}));
    EXPECT_EQ(UnsignedInteger({0xFF}), (Bytes{0x02, 0x02, 0x00, 0xFF}));
    EXPECT_EQ(UnsignedInteger({}), (Bytes{0x02, 0x01, 0x00}));
}

TEST(Der, LengthsRoundTripAtEachBoundary) {
    for (size_t size : {size_t{0}, size_t{0x7F}, size_t{0x80}, size_t{0xFF}, size_t{0x100}, size_t{0x10000}}) {
        Bytes content(size, 0xAB);
        Bytes encoded = Tlv(kOctetString, content);
        Element e;
        ASSERT_TRUE(ParseWhole(encoded.data(), encoded.size(), &e)) << size;
        EXPECT_EQ(e.tag, kOctetString);
        EXPECT_EQ(e.content_size, size);
        EXPECT_EQ(e.size, encoded.size());
        // Every shorter prefix is refused, never read past.
        for (size_t cut : {size_t{1}, encoded.size() / 2, encoded.size() - 1}) {
            if (cut >= encoded.size() || cut == 0) continue;
            Element part;
            EXPECT_FALSE(ParseWhole(encoded.data(), cut, &part)) << size << " cut " << cut;
        }
    }
}

TEST(Der, ReaderRefusesWhatIsNotDer) {
    const std::vector<Bytes> bad = {
        {0x30},                    // no length
        {0x30, 0x80, 0x00, 0x00},  // indefinite length
        {0x04, 0x81, 0x05, 1, 2, 3, 4, 5},  // long form for a short length
        {0x04, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00},  // five length bytes
        {0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x00},  // length far past the end
        {0x1F, 0x81, 0x01, 0x00},  // multi-byte tag
        {0x04, 0x02, 0x01},        // content cut short
    };
    for (const Bytes& b : bad) {
        Element e;
        EXPECT_FALSE(ParseWhole(b.data(), b.size(), &e)) << b.size();
    }
    Bytes two = {0x05, 0x00, 0x05, 0x00};
    Element e;
    EXPECT_FALSE(ParseWhole(two.data(), two.size(), &e));  // trailing bytes
    Reader r(two.data(), two.size());
    EXPECT_TRUE(r.Next(&e));
    EXPECT_TRUE(r.Expect(kNull, &e));
    EXPECT_TRUE(r.AtEnd());
    EXPECT_FALSE(r.Next(&e));
}

TEST(Der, SetOfSortsEncodingsAsPaddedOctetStrings) {
    // 0x04 0x01 0x02 sorts before 0x04 0x02 ...; shorter-with-zero-padding rule.
    Bytes a = {0x04, 0x02, 0x00, 0x00};
    Bytes b = {0x04, 0x01, 0x02};
    Bytes c = {0x02, 0x01, 0x09};
    Bytes set = SetOf({a, b, c});
    EXPECT_EQ(set, (Bytes{0x31, 0x0A, 0x02, 0x01, 0x09, 0x04, 0x01, 0x02, 0x04, 0x02, 0x00, 0x00}));
}

TEST(Der, BmpStringIsBigEndianUtf16) {
    EXPECT_EQ(BmpString(u"A\u00e9\u20ac"), (Bytes{0x1E, 0x06, 0x00, 0x41, 0x00, 0xE9, 0x20, 0xAC}));
    EXPECT_EQ(BmpString(u"x", ContextPrimitive(0)), (Bytes{0x80, 0x02, 0x00, 0x78}));
}

}  // namespace
}  // namespace authenticode::der
