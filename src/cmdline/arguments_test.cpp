// The argument pass and the insertion point of wildcard matches.
#include "cmdline/arguments.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "../tests/support/capture.h"
#include "cmdline/pattern.h"

namespace qm {
namespace {

struct Parsed {
    ParseResult result;
    RunOptions options;
    std::vector<std::u16string> files;
    std::string output;
};

Parsed Parse(std::vector<const char16_t*> args) {
    args.insert(args.begin(), u"quillmark");
    std::vector<const char16_t*> argv = args;
    argv.push_back(nullptr);
    Parsed p;
    FileList files;
    p.output = testing::CaptureOutput([&] {
        p.result = ParseArguments(static_cast<int>(args.size()), argv.data(), &p.options, &files);
    });
    for (const char16_t* f : files) p.files.push_back(f);
    return p;
}

std::u16string Str(const char16_t* s) { return s == nullptr ? u"<none>" : s; }

TEST(ParseArguments, OptionTable) {
    struct Case {
        std::vector<const char16_t*> args;
        const char16_t* id;
        const char16_t* url;
        bool verbose;
        std::vector<std::u16string> files;
    };
    const Case cases[] = {
        {{u"/N", u"Foo", u"a.exe"}, u"Foo", nullptr, false, {u"a.exe"}},
        {{u"-nFoo", u"Foo", u"a.exe"}, u"Foo", nullptr, false, {u"a.exe"}},
        {{u"/n", u"/v"}, u"/v", nullptr, false, {}},
        {{u"/n"}, nullptr, nullptr, false, {}},
        {{u"/t", u"http://x/", u"/T", u""}, nullptr, u"", false, {}},
        {{u"-VERBOSE", u"a", u"a"}, nullptr, nullptr, true, {u"a", u"a"}},
        {{u"", u"/n", u"", u"/t"}, u"", nullptr, false, {u""}},
        {{u"/n", u"One", u"/n", u"Two"}, u"Two", nullptr, false, {}},
    };
    for (const Case& c : cases) {
        Parsed p = Parse(c.args);
        EXPECT_EQ(ParseResult::kContinue, p.result);
        EXPECT_EQ(Str(c.id), Str(p.options.certificateId));
        EXPECT_EQ(Str(c.url), Str(p.options.timestampUrl));
        EXPECT_EQ(c.verbose, p.options.verbose);
        EXPECT_EQ(c.files, p.files);
    }
}

// On this platform an argument that starts with '/' and holds another '/'
// is a path, and "--" ends the options.
TEST(ParseArguments, AbsolutePathsAndEndOfOptions) {
    struct Case {
        std::vector<const char16_t*> args;
        const char16_t* id;
        const char16_t* url;
        bool verbose;
        std::vector<std::u16string> files;
    };
    const Case cases[] = {
        {{u"/n", u"Example Ltd", u"/srv/build/app.exe"}, u"Example Ltd", nullptr, false,
         {u"/srv/build/app.exe"}},
        {{u"/n", u"X", u"/tools/out/app.exe"}, u"X", nullptr, false, {u"/tools/out/app.exe"}},
        {{u"/n", u"X", u"/tools/a.exe", u"b.exe"}, u"X", nullptr, false,
         {u"/tools/a.exe", u"b.exe"}},
        {{u"/verbose", u"/N", u"X", u"/v/a.exe", u"-t", u"/t/u"}, u"X", u"/t/u", true,
         {u"/v/a.exe"}},
        {{u"//", u"/n/", u"/a\\b/"}, nullptr, nullptr, false, {u"//", u"/n/", u"/a\\b/"}},
        {{u"--", u"-a.exe", u"/v", u"--", u"/n", u""}, nullptr, nullptr, false,
         {u"-a.exe", u"/v", u"--", u"/n", u""}},
        {{u"/n", u"--", u"a", u"/t", u"--", u"/v"}, u"--", u"--", true, {u"a"}},
    };
    for (const Case& c : cases) {
        Parsed p = Parse(c.args);
        EXPECT_EQ(ParseResult::kContinue, p.result) << p.output;
        EXPECT_EQ(Str(c.id), Str(p.options.certificateId));
        EXPECT_EQ(Str(c.url), Str(p.options.timestampUrl));
        EXPECT_EQ(c.verbose, p.options.verbose);
        EXPECT_EQ(c.files, p.files);
    }
}

// An absolute pattern (here under /tmp, which used to read as /t) yields
// absolute paths that name the files found.
TEST(ParseArguments, AbsolutePatternYieldsAbsolutePaths) {
    testing::ScratchDir dir;
    ASSERT_EQ(0, mkdir((dir.path + "/sub.exe").c_str(), 0700));
    for (const char* name : {"/b.exe", "/a.exe", "/c.txt"}) std::ofstream(dir.path + name) << "x";
    std::u16string root(dir.path.begin(), dir.path.end());
    std::u16string pattern = root + u"/*.exe";
    Parsed p = Parse({u"/v", pattern.c_str()});
    EXPECT_EQ(ParseResult::kContinue, p.result);
    EXPECT_EQ((std::vector<std::u16string>{root + u"/a.exe", root + u"/b.exe"}), p.files);
    EXPECT_EQ("Adding " + dir.path + "/*.exe:\n  Add file: " + dir.path + "/a.exe\n  Add file: " +
                  dir.path + "/b.exe\n",
              p.output);
    for (const std::u16string& f : p.files) {
        std::string bytes(f.begin(), f.end());
        struct stat st;
        EXPECT_EQ(0, stat(bytes.c_str(), &st)) << bytes;
    }
}

TEST(ParseArguments, InvalidOptionStopsThePass) {
    for (auto bad : {u"/x", u"-", u"/", u"-?", u"/\u00e9t", u"-x/y", u"---", u"-/", u"/x\\y"}) {
        Parsed p = Parse({u"a.exe", bad, u"/v", u"b.exe"});
        EXPECT_EQ(ParseResult::kInvalidOption, p.result);
        EXPECT_FALSE(p.options.verbose);
        EXPECT_EQ(0u, p.output.find("Error: invalid paramter "));
        EXPECT_NE(std::string::npos, p.output.find("quillmark <options> file1"));
    }
}

TEST(ParseArguments, VerboseListsOnlyLaterFiles) {
    Parsed p = Parse({u"a.exe", u"/v", u"b.exe"});
    EXPECT_EQ("Add file: b.exe\n", p.output);
    EXPECT_EQ((std::vector<std::u16string>{u"a.exe", u"b.exe"}), p.files);
}

TEST(InsertionPoint, AfterLastSeparator) {
    struct Case { const char16_t* pattern; size_t point; };
    const Case cases[] = {
        {u"*.exe", 0}, {u"sub\\*.dll", 4}, {u"sub/*.dll", 4}, {u"a/b\\c/*", 6},
        {u"C:*.dll", 0}, {u"C:\\x\\*.dll", 5}, {u"dir/", 4}, {u"", 0},
    };
    for (const Case& c : cases) {
        std::u16string s(c.pattern);
        EXPECT_EQ(c.point, InsertionPoint(s.c_str(), s.size())) << std::string(s.begin(), s.end());
    }
}

}  // namespace
}  // namespace qm
