// Run-time binding of the signing library: from the system folder only.
#include "platform/platform.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

// The test runner puts a signing-library double that exports every entry
// point beside this executable, while the system folder holds the
// platform's own library (Wine's, which lacks SignerSignEx2).
TEST(LibraryWin32, SigningLibraryComesFromTheSystemFolderNotBesideTheProgram) {
    const HMODULE planted = ::GetModuleHandleW(L"mssign32.dll");
    ASSERT_EQ(planted, nullptr) << "loaded before the test";
    qm::HMODULE module = qm::LoadLibraryW(L"mssign32.dll");
    ASSERT_NE(module, nullptr);

    wchar_t loaded[MAX_PATH];
    wchar_t system[MAX_PATH];
    ASSERT_GT(::GetModuleFileNameW(static_cast<HMODULE>(module), loaded, MAX_PATH), 0u);
    const UINT dir = ::GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_GT(dir, 0u);
    EXPECT_EQ(::CompareStringOrdinal(loaded, dir, system, dir, TRUE), CSTR_EQUAL)
        << "loaded from elsewhere than the system folder";
    EXPECT_EQ(qm::GetProcAddress(module, "QuillmarkSignerDoubleVariant"), nullptr)
        << "the planted double was loaded";
}

TEST(LibraryWin32, FailuresCarryThePlatformsCodes) {
    EXPECT_EQ(qm::LoadLibraryW(L"quillmark-no-such-library.dll"), nullptr);
    EXPECT_EQ(qm::GetLastError(), static_cast<qm::DWORD>(ERROR_MOD_NOT_FOUND));

    qm::HMODULE kernel = qm::LoadLibraryW(L"kernel32.dll");
    ASSERT_NE(kernel, nullptr);
    EXPECT_NE(qm::GetProcAddress(kernel, "GetLastError"), nullptr);
    EXPECT_EQ(qm::GetProcAddress(kernel, "NoSuchEntryPoint"), nullptr);
    EXPECT_EQ(qm::GetLastError(), static_cast<qm::DWORD>(ERROR_PROC_NOT_FOUND));
}

}  // namespace
