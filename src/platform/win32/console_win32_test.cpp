// Standard output and console attributes, on a real console (the test runner
// starts this program on a terminal, where Wine gives it one).
#include "platform/platform.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

bool ConsoleInfo(HANDLE out, qm::CONSOLE_SCREEN_BUFFER_INFO* info) {
    std::fflush(stdout);
    return qm::GetConsoleScreenBufferInfo(out, info) != 0;
}

std::string CellsAt(HANDLE out, COORD at, int count) {
    CHAR_INFO cells[64];
    COORD size = {static_cast<SHORT>(count), 1};
    COORD origin = {0, 0};
    SMALL_RECT region = {at.X, at.Y, static_cast<SHORT>(at.X + count - 1), at.Y};
    if (!::ReadConsoleOutputW(out, cells, size, origin, &region)) return "(unreadable)";
    std::string text;
    for (int i = 0; i < count; ++i) text.push_back(static_cast<char>(cells[i].Char.UnicodeChar));
    return text;
}

TEST(ConsoleWin32, TextIsOnTheConsoleWhenTheWriteReturns) {
    qm::HANDLE out = qm::GetStdHandle(STD_OUTPUT_HANDLE);
    qm::CONSOLE_SCREEN_BUFFER_INFO before;
    if (!ConsoleInfo(out, &before)) GTEST_SKIP() << "standard output is not a console";
    qm::WriteStandardOutput("\n", 1);
    ASSERT_TRUE(ConsoleInfo(out, &before));
    ASSERT_EQ(before.dwCursorPosition.X, 0);

    // An open line, as the progress line before a signing call: no flush.
    qm::WriteStandardOutput("open line", 9);
    const COORD at = {0, before.dwCursorPosition.Y};
    EXPECT_EQ(CellsAt(out, at, 9), "open line");
    qm::WriteStandardOutput("\n", 1);
}

TEST(ConsoleWin32, AttributesGoThroughOurRecord) {
    qm::HANDLE out = qm::GetStdHandle(STD_OUTPUT_HANDLE);
    qm::CONSOLE_SCREEN_BUFFER_INFO saved;
    if (!ConsoleInfo(out, &saved)) GTEST_SKIP() << "standard output is not a console";
    ::CONSOLE_SCREEN_BUFFER_INFO real;
    ASSERT_TRUE(::GetConsoleScreenBufferInfo(out, &real));
    EXPECT_EQ(saved.wAttributes, real.wAttributes);
    EXPECT_EQ(saved.dwSize.X, real.dwSize.X);
    EXPECT_EQ(saved.srWindow.Bottom, real.srWindow.Bottom);
    EXPECT_EQ(saved.dwMaximumWindowSize.Y, real.dwMaximumWindowSize.Y);

    const qm::WORD green = (saved.wAttributes & 0xFFF0) | 0x0A;
    EXPECT_TRUE(qm::SetConsoleTextAttribute(out, green));
    qm::CONSOLE_SCREEN_BUFFER_INFO now;
    ASSERT_TRUE(ConsoleInfo(out, &now));
    EXPECT_EQ(now.wAttributes, green);
    qm::SetConsoleTextAttribute(out, saved.wAttributes);
}

}  // namespace
