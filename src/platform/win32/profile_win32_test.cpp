// The settings file read through the platform's profile reader.
#include "platform/platform.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring WriteIni(const wchar_t* name, const char* text) {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring path = std::wstring(temp) + name;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    ::CloseHandle(file);
    return path;
}

struct Read { qm::DWORD count; std::wstring value; };

Read ReadValue(const std::wstring& file, const wchar_t* section, const wchar_t* key, qm::DWORD size = 256) {
    qm::WCHAR buffer[256] = {};
    qm::DWORD count = qm::GetPrivateProfileStringW(section, key, L"", buffer, size, file.c_str());
    return {count, buffer};
}

TEST(ProfileWin32, ReadsValuesAndReportsMissingOnesAsEmpty) {
    const std::wstring ini = WriteIni(L"qm_profile.ini",
                                      "[QUILLMARK]\r\nCertName=Example Ltd\r\nTimeStampUrl=\r\n"
                                      "[other]\r\nCertName=wrong\r\n");
    struct Case { const wchar_t* section; const wchar_t* key; qm::DWORD count; const wchar_t* value; };
    const Case cases[] = {
        {L"QUILLMARK", L"CertName", 11, L"Example Ltd"},
        {L"quillmark", L"certname", 11, L"Example Ltd"},  // case-insensitive
        {L"QUILLMARK", L"TimeStampUrl", 0, L""},          // empty value
        {L"QUILLMARK", L"Missing", 0, L""},
        {L"NOSECTION", L"CertName", 0, L""},
    };
    for (const Case& c : cases) {
        const Read got = ReadValue(ini, c.section, c.key);
        EXPECT_EQ(got.count, c.count) << c.key;
        EXPECT_EQ(got.value, c.value) << c.key;
    }
    EXPECT_EQ(ReadValue(ini + L".absent", L"QUILLMARK", L"CertName").count, 0u);
}

TEST(ProfileWin32, LongValueIsCutToTheBuffer) {
    const std::string value(300, 'x');
    const std::wstring ini = WriteIni(L"qm_profile_long.ini", ("[QUILLMARK]\r\nCertName=" + value + "\r\n").c_str());
    const Read got = ReadValue(ini, L"QUILLMARK", L"CertName", 256);
    EXPECT_EQ(got.count, 255u);
    EXPECT_EQ(got.value, std::wstring(255, L'x'));
}

}  // namespace
