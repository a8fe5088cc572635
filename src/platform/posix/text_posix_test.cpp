// Lossless conversion of POSIX names to UTF-16 and back.
#include "platform/posix/text_posix.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(Text, DecodesUtf8AndEscapesEverythingElse) {
    struct Case { std::string bytes; std::u16string wide; };
    const Case cases[] = {
        {"a.exe", u"a.exe"},
        {"caf\xC3\xA9", u"caf\u00e9"},
        {"\xE6\x97\xA5", u"\u65e5"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
        {"\xFF", u"\xDCFF"},
        {"\xC3", u"\xDCC3"},                          // truncated sequence
        {"\xC0\xAF", u"\xDCC0\xDCAF"},                // overlong '/'
        {"\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},      // encoded surrogate
        {"\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},  // above U+10FFFF
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.wide, WideFromBytes(c.bytes));
        EXPECT_EQ(c.bytes, BytesFromWide(c.wide));
    }
}

TEST(Text, EveryByteStringSurvivesTheRoundTrip) {
    std::string all;
    for (int i = 1; i < 256; ++i) {
        for (int j = 0; j < 256; j += 17) {
            all.push_back(static_cast<char>(i));
            all.push_back(static_cast<char>(j));
        }
    }
    EXPECT_EQ(all, BytesFromWide(WideFromBytes(all)));
    EXPECT_EQ("", BytesFromWide(static_cast<const char16_t*>(nullptr)));
}

}  // namespace
}  // namespace qm
