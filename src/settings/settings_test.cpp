// Where the settings file is looked for.
#include "settings/settings.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(SettingsPath, ReplacesTheProgramName) {
    struct Case { const char16_t* exe; const char16_t* ini; };
    const Case cases[] = {
        {u"/opt/tools/quillmark", u"/opt/tools/quillmark.ini"},
        {u"/opt/tools/signer-ci", u"/opt/tools/quillmark.ini"},
        {u"C:\\Tools\\quillmark.exe", u"C:\\Tools\\quillmark.ini"},
        {u"/quillmark", u"/quillmark.ini"},
        {u"quillmark", u""},
    };
    for (const Case& c : cases) {
        std::u16string exe(c.exe);
        EXPECT_EQ(std::u16string(c.ini), SettingsPathFor(exe.c_str(), exe.size()));
    }
}

}  // namespace
}  // namespace qm
