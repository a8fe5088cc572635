// The INI reader behind GetPrivateProfileStringW.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "../tests/support/capture.h"
#include "platform/platform.h"
#include "platform/posix/text_posix.h"

namespace qm {
namespace {

struct Read {
    DWORD count;
    std::u16string value;
};

Read ReadKey(const std::string& contents, const char16_t* key, DWORD size = 256,
             const char16_t* section = u"QUILLMARK") {
    testing::ScratchDir dir;
    std::string path = dir.path + "/quillmark.ini";
    std::ofstream(path, std::ios::binary) << contents;
    std::u16string wpath = WideFromBytes(path);
    std::u16string buffer(size, u'#');
    DWORD n = GetPrivateProfileStringW(section, key, u"", buffer.data(), size, wpath.c_str());
    return Read{n, buffer.substr(0, buffer.find(u'\0'))};
}

std::string Utf16(const std::u16string& s, bool bom) {
    std::string out = bom ? "\xFF\xFE" : "";
    for (char16_t c : s) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    }
    return out;
}

TEST(Profile, Syntax) {
    struct Case { std::string file; const char16_t* key; std::u16string want; };
    const Case cases[] = {
        {"[QUILLMARK]\nCertName=Example\n", u"CertName", u"Example"},
        {"[quillmark]\ncertname=Example\n", u"CertName", u"Example"},
        {"  [ QuillMark ]  \n   CertName   =   Example Ltd   \n", u"CertName", u"Example Ltd"},
        {"[QUILLMARK]\r\nCertName=Example\r\n", u"CertName", u"Example"},
        {"[QUILLMARK]\nCertName=\"  quoted  \"\n", u"CertName", u"  quoted  "},
        {"[QUILLMARK]\nCertName='single'\n", u"CertName", u"single"},
        {"[QUILLMARK]\nCertName=\"unbalanced\n", u"CertName", u"\"unbalanced"},
        {"[QUILLMARK]\nCertName=a=b\n", u"CertName", u"a=b"},
        {"[QUILLMARK]\n;CertName=commented\nCertName=real\n", u"CertName", u"real"},
        {"[QUILLMARK]\nCertName=first\nCertName=second\n", u"CertName", u"first"},
        {"[OTHER]\nCertName=no\n[QUILLMARK]\nCertName=yes\n", u"CertName", u"yes"},
        {"[QUILLMARK]\nCertName=yes\n[OTHER]\nTimeStampUrl=no\n", u"TimeStampUrl", u""},
        {"CertName=outside\n[QUILLMARK]\n", u"CertName", u""},
        {"[QUILLMARK]\nCertName=last line", u"CertName", u"last line"},
        {"[QUILLMARK]\nCertName=\n", u"CertName", u""},
        {"\xEF\xBB\xBF[QUILLMARK]\nCertName=caf\xC3\xA9\n", u"CertName", u"caf\u00e9"},
        {Utf16(u"[QUILLMARK]\r\nCertName=\u65e5\u672c\r\n", true), u"CertName", u"\u65e5\u672c"},
        {std::string("[QUILLMARK]\nCertName=ab\0cd\n", 26), u"CertName", u"ab"},
        {"", u"CertName", u""},
    };
    for (const Case& c : cases) {
        Read r = ReadKey(c.file, c.key);
        EXPECT_EQ(c.want, r.value) << c.file;
        EXPECT_EQ(c.want.size(), r.count) << c.file;
    }
}

TEST(Profile, ValueCutToBufferSize) {
    std::string file = "[QUILLMARK]\nCertName=" + std::string(300, 'x') + "\n";
    Read r = ReadKey(file, u"CertName");
    EXPECT_EQ(255u, r.count);
    EXPECT_EQ(std::u16string(255, u'x'), r.value);
    EXPECT_EQ(3u, ReadKey(file, u"CertName", 4).count);
}

TEST(Profile, HugeLinesAndFilesStayBounded) {
    // A first line of 8 MiB, then the key: still found, and the long line
    // does not turn into a key.
    std::string file = std::string(8 << 20, 'z') + "\n[QUILLMARK]\nCertName=" +
                       std::string(1 << 20, 'v') + "\nTimeStampUrl=u\n";
    EXPECT_EQ(255u, ReadKey(file, u"CertName").count);
    EXPECT_EQ(u"u", ReadKey(file, u"TimeStampUrl").value);
}

TEST(Profile, MissingFileGivesDefault) {
    std::u16string buffer(8, u'#');
    EXPECT_EQ(0u, GetPrivateProfileStringW(u"QUILLMARK", u"CertName", u"", buffer.data(), 8,
                                           u"/nonexistent/quillmark.ini"));
    EXPECT_EQ(u'\0', buffer[0]);
    EXPECT_EQ(3u, GetPrivateProfileStringW(u"QUILLMARK", u"CertName", u"def", buffer.data(), 8,
                                           u"/nonexistent/quillmark.ini"));
}

TEST(Profile, FoldersAndPipesReadAsMissing) {
    testing::ScratchDir dir;
    std::string folder = dir.path + "/folder.ini", fifo = dir.path + "/fifo.ini";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));  // opening it for reading must not wait for a writer
    for (const std::string& path : {folder, fifo}) {
        std::u16string wpath = WideFromBytes(path);
        WCHAR buffer[16];
        EXPECT_EQ(0u, GetPrivateProfileStringW(u"QUILLMARK", u"CertName", u"", buffer, 16,
                                               wpath.c_str()));
    }
}

}  // namespace
}  // namespace qm
