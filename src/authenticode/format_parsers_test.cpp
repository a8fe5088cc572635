// The format parsers on hand-made bytes: the script block finder and
// encoder, the cabinet header reader, the compound-file directory reader,
// and the exact DER of each format's indirect data.
#include <gtest/gtest.h>

#include <cstring>

#include "authenticode/cab/cab_header.h"
#include "authenticode/hresult.h"
#include "authenticode/msi/cfb_directory.h"
#include "authenticode/script/script_text.h"
#include "authenticode/spc.h"

namespace authenticode {
namespace {

using script::BlockLayout;
using script::CommentStyle;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Hex(const char* hex) {
    Bytes out;
    for (const char* p = hex; p[0] != 0 && p[1] != 0;) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
        p += 2;
    }
    return out;
}

TEST(ScriptText, ExtensionsInAnyCase) {
    EXPECT_EQ(script::StyleForPath("a/b/x.PS1"), CommentStyle::kHash);
    EXPECT_EQ(script::StyleForPath("x.psm1"), CommentStyle::kHash);
    EXPECT_EQ(script::StyleForPath("x.PsD1"), CommentStyle::kHash);
    EXPECT_EQ(script::StyleForPath("x.ps1xml"), CommentStyle::kXml);
    EXPECT_EQ(script::StyleForPath("x.PSC1"), CommentStyle::kXml);
    EXPECT_EQ(script::StyleForPath("x.cdxml"), CommentStyle::kXml);
    for (const char* other : {"x.js", "x.ps", "x.ps1.bak", "ps1", "x.vbs", "dir.ps1/x.txt"}) {
        EXPECT_EQ(script::StyleForPath(other), CommentStyle::kNone) << other;
    }
}

TEST(ScriptText, BlockRoundTripsInBothStylesAndWidths) {
    Bytes der(200);
    for (size_t i = 0; i < der.size(); ++i) der[i] = static_cast<uint8_t>(i * 37);
    for (CommentStyle style : {CommentStyle::kHash, CommentStyle::kXml}) {
        for (bool wide : {false, true}) {
            Bytes text = wide ? Bytes{0xFF, 0xFE, 'x', 0, '\n', 0} : Text("x\n");
            Bytes block = script::EncodeBlock(der, style, wide);
            Bytes file = text;
            file.insert(file.end(), block.begin(), block.end());
            BlockLayout layout;
            ASSERT_EQ(script::FindBlock(file.data(), file.size(), style, wide, &layout), kOk);
            EXPECT_TRUE(layout.has_block);
            EXPECT_EQ(layout.text_end, text.size());
            EXPECT_EQ(layout.signature, der);
        }
    }
    // 64 base64 characters a line: 200 bytes are 268 characters, 5 lines.
    Bytes block = script::EncodeBlock(der, CommentStyle::kHash, false);
    std::string s(block.begin(), block.end());
    EXPECT_EQ(s.find("\r\n# SIG # Begin signature block\r\n# "), 0u);
    size_t first = s.find("\r\n# ", 10) + 4;
    EXPECT_EQ(s.find("\r\n", first) - first, 64u);
    EXPECT_EQ(s.substr(s.size() - 31), "\r\n# SIG # End signature block\r\n");
}

TEST(ScriptText, BlockFinderCases) {
    const std::string begin = "# SIG # Begin signature block";
    const std::string end = "# SIG # End signature block";
    const struct {
        const char* what;
        std::string file;
        int32_t code;
        bool has_block;
        size_t text_end;
    } cases[] = {
        {"no block", "Write-Host 1\n", kOk, false, 13},
        {"LF block, text ends before its line break", "a\n" + begin + "\n# AAAA\n" + end + "\n", kOk, true, 1},
        {"block with nothing after its end line", "a\r\n" + begin + "\r\n# AAAA\r\n" + end, kOk, true, 1},
        {"blank space after the block", "a\r\n" + begin + "\r\n# AAAA\r\n" + end + "\r\n \t\r\n", kOk, true, 1},
        {"begin text inside a line is no block", "x " + begin + "\n", kOk, false, 32},
        {"begin line with more text is no block", begin + " more\n", kOk, false, 35},
        {"text after the block", "a\r\n" + begin + "\r\n# AAAA\r\n" + end + "\r\nmore\r\n", kInvalidData, false, 0},
        {"no end line", "a\r\n" + begin + "\r\n# AAAA\r\n", kInvalidData, false, 0},
        {"a line that is no base64", "a\r\n" + begin + "\r\nWrite-Host\r\n" + end + "\r\n", kInvalidData, false, 0},
        {"base64 with a bad character", "a\r\n" + begin + "\r\n# AA*A\r\n" + end + "\r\n", kInvalidData, false, 0},
    };
    for (const auto& c : cases) {
        BlockLayout layout;
        Bytes file = Text(c.file);
        EXPECT_EQ(script::FindBlock(file.data(), file.size(), CommentStyle::kHash, false, &layout), c.code) << c.what;
        if (c.code != kOk) continue;
        EXPECT_EQ(layout.has_block, c.has_block) << c.what;
        EXPECT_EQ(layout.text_end, c.text_end) << c.what;
    }
    // Undecodable base64 still makes a block, with no signature read.
    Bytes odd = Text("a\r\n" + begin + "\r\n# AAA\r\n" + end + "\r\n");
    BlockLayout layout;
    ASSERT_EQ(script::FindBlock(odd.data(), odd.size(), CommentStyle::kHash, false, &layout), kOk);
    EXPECT_TRUE(layout.has_block);
    EXPECT_TRUE(layout.signature.empty());
}

TEST(ScriptText, EncodingsAndTheirUtf16Form) {
    auto utf16 = [](const Bytes& text, script::Encoding* encoding) {
        Bytes out;
        if (script::CheckEncoding(text.data(), text.size(), encoding) != kOk) return Bytes{0xEE};
        script::FeedUtf16(
            text.data(), text.size(), *encoding,
            [](const uint8_t* d, size_t n, void* c) { static_cast<Bytes*>(c)->insert(static_cast<Bytes*>(c)->end(), d, d + n); },
            &out);
        return out;
    };
    script::Encoding e;
    EXPECT_EQ(utf16(Text("ab"), &e), (Bytes{'a', 0, 'b', 0}));
    EXPECT_EQ(e, script::Encoding::kAscii);
    // The UTF-8 BOM is hashed as FF FE; a non-BMP character as a surrogate pair.
    EXPECT_EQ(utf16(Text("\xEF\xBB\xBF\xC3\xA9\xF0\x9F\x96\x8B"), &e),
              (Bytes{0xFF, 0xFE, 0xE9, 0x00, 0x3D, 0xD8, 0x8B, 0xDD}));
    EXPECT_EQ(e, script::Encoding::kUtf8Bom);
    EXPECT_EQ(utf16(Bytes{0xFF, 0xFE, 'a', 0}, &e), (Bytes{0xFF, 0xFE, 'a', 0}));
    EXPECT_EQ(e, script::Encoding::kUtf16Le);
    for (const Bytes& refused : {Text("caf\xE9"), Text("\xC3\xA9"), Text("\xEF\xBB\xBF\xC0\xAF"),
                                 Text("\xEF\xBB\xBF\xED\xA0\x80"), Text("\xEF\xBB\xBF\xF4\x90\x80\x80"),
                                 Text("\xEF\xBB\xBF\xE2\x82"), Bytes{0xFE, 0xFF, 0, 'a'}, Bytes{0xFF, 0xFE, 'a'}}) {
        EXPECT_EQ(script::CheckEncoding(refused.data(), refused.size(), &e), kNoUnicodeTranslation);
    }
}

TEST(IndirectData, EachFormatsDataIsExactlyWhatVerifiersExpect) {
    const uint8_t powershell[16] = {0x1f, 0xcc, 0x3b, 0x60, 0x59, 0x4b, 0x08, 0x4e,
                                    0xb7, 0x24, 0xd2, 0xc6, 0x29, 0x7e, 0xf3, 0x51};
    EXPECT_EQ(EncodeSipInfoData(0x10000, powershell),
              Hex("30 34 06 0a 2b 06 01 04 01 82 37 02 01 1e 30 26 02 03 01 00 00 04 10 1f cc 3b 60 59 4b 08 4e b7 24"
                  " d2 c6 29 7e f3 51 02 01 00 02 01 00 02 01 00 02 01 00 02 01 00"));
    EXPECT_EQ(EncodeCabData(), Hex("30 2c 06 0a 2b 06 01 04 01 82 37 02 01 19 a2 1e 80 1c 00 3c 00 3c 00 3c 00 4f 00 62"
                                   " 00 73 00 6f 00 6c 00 65 00 74 00 65 00 3e 00 3e 00 3e"));
}

// A stored cabinet with one folder and one 5-byte file "a".
Bytes SmallCab() {
    Bytes c(36 + 8 + 18 + 8 + 5, 0);
    auto le32 = [&](size_t at, uint32_t v) { std::memcpy(&c[at], &v, 4); };
    auto le16 = [&](size_t at, uint16_t v) { std::memcpy(&c[at], &v, 2); };
    std::memcpy(c.data(), "MSCF", 4);
    le32(8, static_cast<uint32_t>(c.size()));
    le32(16, 44);
    c[24] = 3;
    c[25] = 1;
    le16(26, 1);
    le16(28, 1);
    le32(36, 62);  // the folder's data block
    le16(40, 1);
    le32(44, 5);   // the file entry: size, offset 0, folder 0, name "a"
    c[60] = 'a';
    le16(66, 5);   // the data block: checksum 0, 5 bytes stored
    le16(68, 5);
    return c;
}

TEST(CabHeader, ReadsAndRefuses) {
    Bytes good = SmallCab();
    cab::CabLayout layout;
    ASSERT_EQ(cab::ParseCabHeader(good.data(), good.size(), good.size(), &layout), kOk);
    EXPECT_EQ(layout.files_offset, 44u);
    EXPECT_FALSE(layout.has_reserve);
    struct Change {
        const char* what;
        size_t at;
        uint8_t value;
        int32_t code;
    };
    for (const Change& c : {Change{"checksum field set", 4, 1, kBadFormat}, Change{"version", 24, 2, kBadFormat},
                            Change{"previous cabinet", 30, 1, kNotSupported},
                            Change{"next cabinet", 30, 2, kNotSupported},
                            Change{"unknown flag", 30, 8, kBadFormat}, Change{"no folders", 26, 0, kBadFormat},
                            Change{"files offset off the table", 16, 45, kBadFormat},
                            Change{"size not the file's", 8, 200, kBadFormat},
                            Change{"data before the files", 36, 10, kBadFormat}}) {
        Bytes bad = good;
        bad[c.at] = c.value;
        EXPECT_EQ(cab::ParseCabHeader(bad.data(), bad.size(), bad.size(), &layout), c.code) << c.what;
    }
    EXPECT_EQ(cab::ParseCabHeader(good.data(), 20, good.size(), &layout), kBadFormat);
    Bytes text = Text("MSCX and more text to fill the header out....");
    EXPECT_EQ(cab::ParseCabHeader(text.data(), text.size(), text.size(), &layout), kSubjectFormUnknown);
}

bool ReadBuffer(uint64_t offset, uint8_t* out, size_t size, void* context) {
    const Bytes* b = static_cast<const Bytes*>(context);
    if (offset > b->size() || b->size() - offset < size) return false;
    std::memcpy(out, b->data() + offset, size);
    return true;
}

// A version 3 compound file: header, FAT sector 0, directory sector 1 with a
// root and one stream.
Bytes SmallCompoundFile() {
    Bytes f(512 * 3, 0);
    auto le32 = [&](size_t at, uint32_t v) { std::memcpy(&f[at], &v, 4); };
    auto le16 = [&](size_t at, uint16_t v) { std::memcpy(&f[at], &v, 2); };
    std::memcpy(f.data(), msi::kCfbMagic, 8);
    le16(0x18, 0x3E);
    le16(0x1A, 3);
    le16(0x1C, 0xFFFE);
    le16(0x1E, 9);
    le16(0x20, 6);
    le32(0x2C, 1);  // one FAT sector
    le32(0x30, 1);  // the directory at sector 1
    le32(0x38, 4096);
    le32(0x3C, 0xFFFFFFFE);
    le32(0x44, 0xFFFFFFFE);
    for (int i = 0; i < 109; ++i) le32(0x4C + 4 * i, 0xFFFFFFFF);
    le32(0x4C, 0);
    size_t fat = 512;
    for (int i = 0; i < 128; ++i) le32(fat + 4 * i, 0xFFFFFFFF);
    le32(fat, 0xFFFFFFFD);      // the FAT itself
    le32(fat + 4, 0xFFFFFFFE);  // the directory: one sector
    size_t dir = 1024;
    auto entry = [&](size_t i, const char16_t* name, uint8_t type, uint32_t child) {
        size_t e = dir + 128 * i;
        size_t n = 0;
        for (; name[n] != 0; ++n) le16(e + 2 * n, name[n]);
        le16(e + 0x40, static_cast<uint16_t>(2 * n + 2));
        f[e + 0x42] = type;
        le32(e + 0x44, 0xFFFFFFFF);
        le32(e + 0x48, 0xFFFFFFFF);
        le32(e + 0x4C, child);
        le32(e + 0x74, 0xFFFFFFFE);
    };
    entry(0, u"Root Entry", 5, 1);
    std::memcpy(&f[dir + 0x50], msi::kMsiClassId, 16);
    entry(1, u"s", 2, 0xFFFFFFFF);
    entry(2, u"o", 0, 0xFFFFFFFF);  // unused, but named
    for (size_t i = 3; i < 4; ++i) {
        le32(dir + 128 * i + 0x44, 0xFFFFFFFF);
        le32(dir + 128 * i + 0x48, 0xFFFFFFFF);
        le32(dir + 128 * i + 0x4C, 0xFFFFFFFF);
    }
    return f;
}

TEST(CfbDirectory, ReadsAndRefuses) {
    Bytes good = SmallCompoundFile();
    msi::CfbSummary summary;
    ASSERT_EQ(msi::ReadCfbDirectory(good.size(), ReadBuffer, &good, &summary), kOk);
    EXPECT_EQ(summary.sector_size, 512u);
    EXPECT_EQ(summary.entry_count, 1u);
    EXPECT_EQ(std::memcmp(summary.root_class_id, msi::kMsiClassId, 16), 0);
    struct Change {
        const char* what;
        size_t at;
        uint32_t value;
        size_t width;
    };
    for (const Change& c : {Change{"byte order", 0x1C, 0xFFFF, 2}, Change{"sector shift", 0x1E, 10, 2},
                            Change{"mini sector shift", 0x20, 7, 2}, Change{"no FAT", 0x2C, 0, 4},
                            Change{"FAT beyond the file", 0x4C, 99, 4}, Change{"directory beyond the FAT", 0x30, 500, 4},
                            Change{"directory chain loops", 512 + 4, 1, 4}, Change{"root not a root", 1024 + 0x42, 1, 1},
                            Change{"root is its own child", 1024 + 0x4C, 0, 4},
                            Change{"child out of range", 1024 + 0x4C, 9, 4},
                            Change{"stream with a child", 1024 + 128 + 0x4C, 1, 4},
                            Change{"name length odd", 1024 + 128 + 0x40, 3, 2},
                            Change{"stream larger than the file", 1024 + 128 + 0x78, 1u << 30, 4},
                            Change{"entry in use outside the tree", 1024 + 256 + 0x42, 2, 1}}) {
        Bytes bad = good;
        std::memcpy(&bad[c.at], &c.value, c.width);
        EXPECT_EQ(msi::ReadCfbDirectory(bad.size(), ReadBuffer, &bad, &summary), kBadPackage) << c.what;
    }
    Bytes text = Text(std::string(600, 'x'));
    EXPECT_EQ(msi::ReadCfbDirectory(text.size(), ReadBuffer, &text, &summary), kSubjectFormUnknown);
    Bytes cut(good.begin(), good.begin() + 100);
    EXPECT_EQ(msi::ReadCfbDirectory(cut.size(), ReadBuffer, &cut, &summary), kBadPackage);
}

}  // namespace
}  // namespace authenticode
