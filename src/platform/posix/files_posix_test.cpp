// Directory enumeration behind FindFirstFileW/FindNextFileW.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "../tests/support/capture.h"
#include "platform/platform.h"
#include "platform/posix/text_posix.h"

namespace qm {
namespace {

// Enumerates a pattern; directories come back with a trailing '/'.
std::vector<std::string> Enumerate(const std::string& pattern) {
    std::vector<std::string> names;
    std::u16string wide = WideFromBytes(pattern);
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(wide.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        std::string name = BytesFromWide(data.cFileName);
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) name += "/";
        names.push_back(name);
    } while (FindNextFileW(h, &data));
    FindClose(h);
    return names;
}

TEST(FindFiles, Matching) {
    testing::ScratchDir dir;
    for (const char* f : {"a.exe", "b.EXE", "ab.dll", "readme", ".hidden", "x.tar.gz"}) {
        std::ofstream(dir.path + "/" + f) << "";
    }
    mkdir((dir.path + "/sub.exe").c_str(), 0755);
    symlink("sub.exe", (dir.path + "/link.exe").c_str());
    symlink("gone", (dir.path + "/dangling.exe").c_str());
    std::string d = dir.path;
    struct Case { std::string pattern; std::vector<std::string> names; };
    const Case cases[] = {
        {d + "/*.exe", {"a.exe", "b.EXE", "dangling.exe", "link.exe/", "sub.exe/"}},
        {d + "\\?.exe", {"a.exe", "b.EXE"}},  // '\' separates as '/' does
        {d + "/?.exe", {"a.exe", "b.EXE"}},
        {d + "/a*", {"a.exe", "ab.dll"}},
        {d + "/*.*", {".", "..", ".hidden", "a.exe", "ab.dll", "b.EXE", "dangling.exe",
                      "link.exe/", "readme", "sub.exe/", "x.tar.gz"}},
        {d + "/*.gz", {"x.tar.gz"}},
        {d + "/*a*b*", {"ab.dll"}},
        {d + "/.h*", {".hidden"}},
        {d + "/nothing*", {}},
        {d + "/nodir/*", {}},
        {d + "/", {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> got = Enumerate(c.pattern);
        if (c.pattern.find("*.*") != std::string::npos) {
            // "." and ".." report as directories
            for (auto& n : got) if (n == "./" || n == "../") n.pop_back();
        }
        EXPECT_EQ(c.names, got) << c.pattern;
    }
}

TEST(FindFiles, BackslashSeparatesDirectories) {
    testing::ScratchDir dir;
    mkdir((dir.path + "/sub").c_str(), 0755);
    std::ofstream(dir.path + "/sub/x.dll") << "";
    std::string pattern = dir.path + "/sub\\*.dll";
    EXPECT_EQ(std::vector<std::string>{"x.dll"}, Enumerate(pattern));
}

TEST(FindFiles, NoMatchSetsLastError) {
    WIN32_FIND_DATAW data;
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileW(u"/nonexistent-dir/*.exe", &data));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
}

TEST(ModulePath, NamesTheRunningProgram) {
    WCHAR buffer[4096];
    DWORD n = GetModuleFileNameW(nullptr, buffer, 4096);
    ASSERT_GT(n, 0u);
    std::string path = BytesFromWide(std::u16string(buffer, n));
    EXPECT_EQ('/', path[0]);
    EXPECT_NE(std::string::npos, path.find("qm_unit_tests"));
    WCHAR small[4];
    EXPECT_EQ(4u, GetModuleFileNameW(nullptr, small, 4));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(0, small[3]);
}

}  // namespace
}  // namespace qm
