// Thumbprint recognition and decoding.
#include "identity/identifier.h"

#include <gtest/gtest.h>

#include "../tests/support/capture.h"

namespace qm {
namespace {

TEST(Identifier, RecognisesExactlyFortyHexDigits) {
    struct Case { const char16_t* id; bool thumbprint; };
    const Case cases[] = {
        {u"0123456789ABCDEFabcdef0123456789abcdef01", true},
        {u"0123456789ABCDEFabcdef0123456789abcdef0", false},
        {u"0123456789ABCDEFabcdef0123456789abcdef012", false},
        {u"g123456789ABCDEFabcdef0123456789abcdef01", false},
        {u"0123456789ABCDEF abcdef0123456789abcdef0", false},
        {u"0x23456789ABCDEFabcdef0123456789abcdef01", false},
        // Only the digits themselves: a unit whose low byte is a digit is not one.
        {u"\u0130123456789ABCDEFabcdef0123456789abcdef0", false},
        {u"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(c.thumbprint, IsThumbprint(c.id));
}

TEST(Identifier, DecodesThumbprintBytes) {
    FindCriteria criteria;
    InitFindCriteria(&criteria);
    std::string out = testing::CaptureOutput([&] {
        DecodeSignerIdentifier(u"0123456789ABCDEFabcdef0123456789abcdef01", nullptr, true,
                               &criteria);
    });
    const BYTE want[20] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD,
                           0xEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01};
    EXPECT_EQ(CERT_FIND_SHA1_HASH, criteria.findType);
    EXPECT_EQ(&criteria.hashBlob, criteria.findPara);
    EXPECT_EQ(20u, criteria.hashBlob.cbData);
    EXPECT_EQ(criteria.thumbprint, criteria.hashBlob.pbData);
    EXPECT_EQ(0, memcmp(want, criteria.thumbprint, 20));
    EXPECT_EQ("  CertHash: 0123456789ABCDEFabcdef0123456789abcdef01\n  TimeStampUrl: (null)\n", out);
}

TEST(Identifier, SubjectTextKeepsDefaultSearch) {
    FindCriteria criteria;
    InitFindCriteria(&criteria);
    const char16_t* id = u"Example Ltd";
    std::string out = testing::CaptureOutput(
        [&] { DecodeSignerIdentifier(id, u"http://ts/", true, &criteria); });
    EXPECT_EQ(CERT_FIND_SUBJECT_STR_W, criteria.findType);
    EXPECT_EQ(static_cast<const void*>(id), criteria.findPara);
    for (BYTE b : criteria.thumbprint) EXPECT_EQ(0, b);
    EXPECT_EQ("  CertName: Example Ltd\n  TimeStampUrl: http://ts/\n", out);
    EXPECT_EQ("", testing::CaptureOutput([&] { DecodeSignerIdentifier(id, nullptr, false, &criteria); }));
}

TEST(Identifier, HexDigitValue) {
    const char16_t digits[] = u"0123456789abcdefABCDEF";
    const int want[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 10, 11, 12, 13, 14, 15};
    for (size_t i = 0; i < 22; ++i) EXPECT_EQ(want[i], HexDigitValue(digits[i]));
}

}  // namespace
}  // namespace qm
