// The directory enumeration and executable path, read through our records.
#include "platform/platform.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::wstring ScratchDir(const wchar_t* name) {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring dir = std::wstring(temp) + L"qm_files_" + name;
    ::CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

void Touch(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ::CloseHandle(file);
}

struct Entry {
    std::wstring name;
    bool directory;
    bool operator<(const Entry& o) const { return name < o.name; }
    bool operator==(const Entry& o) const { return name == o.name && directory == o.directory; }
};

std::vector<Entry> Enumerate(const std::wstring& pattern) {
    std::vector<Entry> out;
    qm::WIN32_FIND_DATAW data;
    qm::HANDLE find = qm::FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return out;
    do {
        out.push_back({data.cFileName, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (qm::FindNextFileW(find, &data));
    EXPECT_EQ(qm::GetLastError(), static_cast<qm::DWORD>(ERROR_NO_MORE_FILES));
    qm::FindClose(find);
    std::sort(out.begin(), out.end());
    return out;
}

TEST(FilesWin32, EnumerationGivesBareNamesAndTheDirectoryBit) {
    const std::wstring dir = ScratchDir(L"enum");
    Touch(dir + L"\\a.exe");
    Touch(dir + L"\\B.EXE");
    Touch(dir + L"\\notes.txt");
    ::CreateDirectoryW((dir + L"\\c.exe").c_str(), nullptr);

    // The platform's matching is case-insensitive.
    const std::vector<Entry> expected = {{L"B.EXE", false}, {L"a.exe", false}, {L"c.exe", true}};
    EXPECT_EQ(Enumerate(dir + L"\\*.exe"), expected);
    EXPECT_EQ(Enumerate(dir + L"/?.EXE"), expected);
}

TEST(FilesWin32, NoMatchAndMissingDirectoryGiveInvalidHandle) {
    const std::wstring dir = ScratchDir(L"none");
    struct Case { std::wstring pattern; qm::DWORD error; };
    const Case cases[] = {
        {dir + L"\\*.nothing", ERROR_FILE_NOT_FOUND},
        {dir + L"\\missing\\*.exe", ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        qm::WIN32_FIND_DATAW data;
        EXPECT_EQ(qm::FindFirstFileW(c.pattern.c_str(), &data), INVALID_HANDLE_VALUE);
        EXPECT_EQ(qm::GetLastError(), c.error);
    }
}

TEST(FilesWin32, ModuleFileNameIsTheFullPathOfTheExecutable) {
    qm::WCHAR path[MAX_PATH];
    const qm::DWORD length = qm::GetModuleFileNameW(nullptr, path, MAX_PATH);
    ASSERT_GT(length, 0u);
    const std::wstring text(path, length);
    EXPECT_NE(text.find(L'\\'), std::wstring::npos);
    EXPECT_EQ(text.substr(text.size() - 19), L"\\qm_win32_tests.exe");
}

}  // namespace
