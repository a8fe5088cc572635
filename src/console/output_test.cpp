// Message formatting: the bytes that reach standard output.
#include "console/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "../tests/support/capture.h"

namespace qm {
namespace {

using testing::CaptureOutput;

TEST(Output, NarrowFormats) {
    struct Case { const char* want; std::string got; };
    Case cases[] = {
        {"Error 126\n", CaptureOutput([] { PrintNarrow("Error %d\n", 126); })},
        {"-2147024891", CaptureOutput([] { PrintNarrow("%d", static_cast<int>(0x80070005u)); })},
        {"-2147483648", CaptureOutput([] { PrintNarrow("%d", static_cast<int>(0x80000000u)); })},
        {"80092004", CaptureOutput([] { PrintNarrow("%x", 0x80092004u); })},
        {"0 ff", CaptureOutput([] { PrintNarrow("%x %x", 0u, 255u); })},
        {"100%", CaptureOutput([] { PrintNarrow("100%%"); })},
        {"a(null)b", CaptureOutput([] { PrintNarrow("a%sb", static_cast<const char*>(nullptr)); })},
    };
    for (const Case& c : cases) EXPECT_EQ(c.want, c.got);
}

TEST(Output, WideTextIsOneBytePerUnit) {
    const char16_t path[] = {u'c', 0xE9, u'/', 0x65E5, 0xD83D, 0xDE00, u'x', 0x00FF, 0x0100, 0};
    std::string got = CaptureOutput([&] { PrintWide(u"Add file: %s (%d)\n", path, 7); });
    EXPECT_EQ(std::string("Add file: c\xE9/???x\xFF? (7)\n"), got);
    EXPECT_EQ("  TimeStampUrl: (null)\n", CaptureOutput([] {
                  PrintWide(u"  TimeStampUrl: %s\n", static_cast<const char16_t*>(nullptr));
              }));
}

// A file or pipe gets each line as soon as it ends, so that a run killed
// halfway still shows what it did; only a line left open may wait.
TEST(Output, EndedLinesReachAFileAtOnce) {
    testing::ScratchDir dir;
    std::string path = dir.path + "/out.txt";
    FlushStandardOutput();
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    auto written = [&] {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    PrintWide(u"Add file: %s\n", u"a.exe");
    std::string afterMessage = written();
    PrintNarrow("QuillMark 1/1: a.exe");
    PrintNarrow(" FAILED %x\n", 0x80070005u);
    std::string afterStatus = written();
    FlushStandardOutput();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    EXPECT_EQ("Add file: a.exe\n", afterMessage);
    EXPECT_EQ("Add file: a.exe\nQuillMark 1/1: a.exe FAILED 80070005\n", afterStatus);
}

TEST(Output, KeptStringsAreTerminatedCopies) {
    const char16_t text[] = u"abcdef";
    const char16_t* kept = KeepString(text, 3);
    EXPECT_NE(text, kept);
    EXPECT_EQ(std::u16string(u"abc"), std::u16string(kept));
}

}  // namespace
}  // namespace qm
