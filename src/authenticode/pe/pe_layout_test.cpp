// Header parser: hand-built headers, one valid image per flavour and a table
// of the faults a hostile or damaged file can have.
#include "authenticode/pe/pe_layout.h"

#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <vector>

namespace authenticode {
namespace {

constexpr int32_t kNotPe = static_cast<int32_t>(0x800B0003u);
constexpr int32_t kBroken = static_cast<int32_t>(0x800700C1u);
constexpr int32_t kTooLarge = static_cast<int32_t>(0x800700DFu);
constexpr uint32_t kPe = 0x80;  // e_lfanew of the images below

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A minimal image: DOS header, PE header, optional header with 16
// directories, one section with 0x200 bytes of raw data at 0x200.
std::vector<uint8_t> Image(bool plus, uint16_t machine = 0x14c) {
    std::vector<uint8_t> b(0x400, 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, kPe);
    b[kPe] = 'P';
    b[kPe + 1] = 'E';
    Put16(b, kPe + 4, machine);
    Put16(b, kPe + 6, 1);                         // NumberOfSections
    uint16_t optional_size = plus ? 240 : 224;
    Put16(b, kPe + 20, optional_size);
    size_t opt = kPe + 24;
    Put16(b, opt, plus ? 0x20b : 0x10b);
    Put32(b, opt + (plus ? 108 : 92), 16);        // NumberOfRvaAndSizes
    size_t section = opt + optional_size;
    std::memcpy(&b[section], ".text\0\0\0", 8);
    Put32(b, section + 16, 0x200);                // SizeOfRawData
    Put32(b, section + 20, 0x200);                // PointerToRawData
    return b;
}

size_t CertEntry(bool plus) { return kPe + 24 + (plus ? 112 : 96) + 32; }

// Appends a certificate table of `size` bytes and points directory 4 at it.
void Sign(std::vector<uint8_t>& b, bool plus, uint32_t size = 16) {
    uint32_t offset = static_cast<uint32_t>(b.size());
    b.resize(b.size() + size, 0);
    Put32(b, offset, size);
    Put16(b, offset + 4, 0x0200);
    Put16(b, offset + 6, 0x0002);
    Put32(b, CertEntry(plus), offset);
    Put32(b, CertEntry(plus) + 4, size);
}

int32_t Parse(const std::vector<uint8_t>& b, PeLayout* layout) {
    return ParsePeLayout(b.data(), b.size(), b.size(), layout);
}

TEST(PeLayout, ReadsPe32AndPe32PlusOfAnyMachine) {
    struct Case {
        bool plus;
        uint16_t machine;
    } cases[] = {{false, 0x14c}, {true, 0x8664}, {true, 0xAA64}, {false, 0x1c4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine);
        std::vector<uint8_t> b = Image(c.plus, c.machine);
        PeLayout layout;
        ASSERT_EQ(Parse(b, &layout), 0);
        EXPECT_EQ(layout.pe32_plus, c.plus);
        EXPECT_EQ(layout.machine, c.machine);
        EXPECT_EQ(layout.checksum_offset, kPe + 88u);
        EXPECT_EQ(layout.cert_entry_offset, c.plus ? kPe + 168u : kPe + 152u);
        EXPECT_EQ(layout.content_end, b.size());
        EXPECT_EQ(layout.cert_table_size, 0u);
    }
}

TEST(PeLayout, SignedImageEndsContentAtTheTable) {
    for (bool plus : {false, true}) {
        std::vector<uint8_t> b = Image(plus);
        Sign(b, plus, 24);
        PeLayout layout;
        ASSERT_EQ(Parse(b, &layout), 0);
        EXPECT_EQ(layout.cert_table_offset, 0x400u);
        EXPECT_EQ(layout.cert_table_size, 24u);
        EXPECT_EQ(layout.content_end, 0x400u);
    }
}

TEST(PeLayout, AnOffsetWithoutASizeIsNoTable) {
    std::vector<uint8_t> b = Image(false);
    Put32(b, CertEntry(false), 0x300);
    PeLayout layout;
    ASSERT_EQ(Parse(b, &layout), 0);
    EXPECT_EQ(layout.content_end, b.size());
}

TEST(PeLayout, MalformedInputGetsItsCode) {
    using Edit = std::function<void(std::vector<uint8_t>&)>;
    struct Case {
        const char* name;
        Edit edit;
        int32_t expected;
    } cases[] = {
        {"empty file", [](auto& b) { b.clear(); }, kNotPe},
        {"one byte", [](auto& b) { b.resize(1); }, kNotPe},
        {"text file", [](auto& b) { b.assign(100, 'x'); }, kNotPe},
        {"ZM instead of MZ", [](auto& b) { b[0] = 'Z'; b[1] = 'M'; }, kNotPe},
        {"truncated DOS header", [](auto& b) { b.resize(40); }, kBroken},
        {"e_lfanew past the end", [](auto& b) { Put32(b, 0x3C, 0x1000); }, kBroken},
        {"e_lfanew at 4 GiB", [](auto& b) { Put32(b, 0x3C, 0xFFFFFFF0u); }, kBroken},
        {"NE program", [](auto& b) { b[kPe] = 'N'; b[kPe + 1] = 'E'; }, kNotPe},
        {"file header cut", [](auto& b) { b.resize(kPe + 10); }, kBroken},
        {"optional header cut", [](auto& b) { b.resize(kPe + 100); }, kBroken},
        {"no optional header", [](auto& b) { Put16(b, kPe + 20, 0); }, kBroken},
        {"ROM image magic", [](auto& b) { Put16(b, kPe + 24, 0x107); }, kBroken},
        {"four data directories", [](auto& b) { Put32(b, kPe + 24 + 92, 4); }, kBroken},
        {"optional header too short for directory 4",
         [](auto& b) { Put16(b, kPe + 20, 96 + 32); }, kBroken},
        {"section table past the end", [](auto& b) { Put16(b, kPe + 6, 40); }, kBroken},
        {"section table of 65535 entries", [](auto& b) { Put16(b, kPe + 6, 0xFFFF); }, kBroken},
        {"table not at the end",
         [](auto& b) { Sign(b, false); b.push_back(0); }, kBroken},
        {"table past the end",
         [](auto& b) { Sign(b, false); Put32(b, CertEntry(false) + 4, 0x100); }, kBroken},
        {"table size wrapping 32 bits",
         [](auto& b) { Sign(b, false); Put32(b, CertEntry(false) + 4, 0xFFFFFFF8u); }, kBroken},
        {"table without an offset",
         [](auto& b) { Put32(b, CertEntry(false) + 4, 0x10); }, kBroken},
        {"table over the headers",
         [](auto& b) { Put32(b, CertEntry(false), 0x100); Put32(b, CertEntry(false) + 4, 0x300); }, kBroken},
        {"table over section data",
         [](auto& b) { Put32(b, CertEntry(false), 0x300); Put32(b, CertEntry(false) + 4, 0x100); }, kBroken},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> b = Image(false);
        c.edit(b);
        // An exact-size copy, so a read past the end is caught by the sanitizers.
        std::vector<uint8_t> exact(b);
        exact.shrink_to_fit();
        PeLayout layout;
        EXPECT_EQ(ParsePeLayout(exact.empty() ? nullptr : exact.data(), exact.size(), exact.size(), &layout),
                  c.expected);
    }
}

TEST(PeLayout, RefusesWhatTheFormatCannotHold) {
    std::vector<uint8_t> b = Image(true);
    PeLayout layout;
    EXPECT_EQ(ParsePeLayout(b.data(), b.size(), kPeMaxFileSize + 1, &layout), kTooLarge);
    EXPECT_EQ(ParsePeLayout(b.data(), b.size(), kPeMaxFileSize, &layout), 0);
}

TEST(PeLayout, AsksForMoreWhenHeadersReachPastTheHead) {
    std::vector<uint8_t> b = Image(false);
    PeLayout layout;
    ASSERT_EQ(ParsePeLayout(b.data(), 0x100, b.size(), &layout), kPeNeedMoreHeader);
    EXPECT_GT(layout.head_needed, 0x100u);
    EXPECT_LE(layout.head_needed, b.size());
    EXPECT_EQ(ParsePeLayout(b.data(), layout.head_needed, b.size(), &layout), 0);

    // Headers beyond the limit are refused rather than read.
    Put32(b, 0x3C, static_cast<uint32_t>(kPeMaxHeaderBytes));
    EXPECT_EQ(ParsePeLayout(b.data(), b.size(), kPeMaxHeaderBytes * 2, &layout), kBroken);
}

TEST(PeTablePlan, PadsContentAndTable) {
    struct Case {
        uint64_t content_end, signature;
        uint64_t offset, table, file;
    } cases[] = {
        {0x400, 1, 0x400, 16, 0x410},
        {0x401, 8, 0x408, 16, 0x418},
        {0x407, 9, 0x408, 24, 0x420},
        {0x408, 61, 0x408, 72, 0x450},
    };
    for (const Case& c : cases) {
        PeTablePlan plan;
        ASSERT_EQ(PlanCertificateTable(c.content_end, c.signature, &plan), 0);
        EXPECT_EQ(plan.padded_content_end, c.offset);
        EXPECT_EQ(plan.table_size, c.table);
        EXPECT_EQ(plan.new_file_size, c.file);
    }
    PeTablePlan plan;
    EXPECT_EQ(PlanCertificateTable(0x400, 0, &plan), static_cast<int32_t>(0x80070057u));
    // The signed file must stay below 4 GiB.
    EXPECT_EQ(PlanCertificateTable(0xFFFFFFE0u, 8, &plan), 0);
    EXPECT_EQ(plan.new_file_size, 0xFFFFFFF0u);
    EXPECT_EQ(PlanCertificateTable(0xFFFFFFF0u, 8, &plan), kTooLarge);
    EXPECT_EQ(PlanCertificateTable(0xFFFFFFF9u, 1, &plan), kTooLarge);
}

TEST(PeCertificateTable, FindsTheSignatureAndCutsItsPadding) {
    std::vector<uint8_t> table = {0, 0, 0, 0, 0x00, 0x02, 0x02, 0x00, 0x30, 0x03, 1, 2, 3, 0, 0, 0};
    Put32(table, 0, 16);
    size_t offset = 0, size = 0;
    ASSERT_TRUE(FindPkcs7InTable(table.data(), table.size(), &offset, &size));
    EXPECT_EQ(offset, 8u);
    EXPECT_EQ(size, 5u);

    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> edit;
    } broken[] = {
        {"length past the table", [](auto& t) { Put32(t, 0, 17); }},
        {"length below the header", [](auto& t) { Put32(t, 0, 4); }},
        {"DER length past the entry", [](auto& t) { t[9] = 0x20; }},
        {"DER long form past the entry", [](auto& t) { t[9] = 0x84; }},
        {"not a SEQUENCE", [](auto& t) { t[8] = 0x04; }},
        {"not PKCS#7", [](auto& t) { t[6] = 0x01; }},
    };
    for (const auto& c : broken) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> t = table;
        c.edit(t);
        EXPECT_FALSE(FindPkcs7InTable(t.data(), t.size(), &offset, &size));
    }
}

}  // namespace
}  // namespace authenticode
