// Last-error code and exit code on Windows.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(ProcessWin32, ExitCodeIsTheWhole32BitStatus) {
    const int32_t statuses[] = {0, 1, static_cast<int32_t>(0x80070005u), static_cast<int32_t>(0x80092004u),
                                static_cast<int32_t>(0x80000000u), 0x100, -1};
    for (int32_t status : statuses) EXPECT_EQ(static_cast<uint32_t>(qm::ProcessExitCode(status)),
                                              static_cast<uint32_t>(status));
}

TEST(ProcessWin32, LastErrorIsTheThreadsOwn) {
    const qm::DWORD codes[] = {0, 126, 127, 0x80092004u};
    for (qm::DWORD code : codes) {
        qm::SetLastError(code);
        EXPECT_EQ(qm::GetLastError(), code);
    }
}

}  // namespace
