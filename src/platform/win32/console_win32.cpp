// Standard output and the console's text attributes on Windows.
//
// Text goes through the C runtime's stdout in text mode, so "\n" reaches a
// file or pipe as "\r\n", as every console program of the platform writes it.
// On a console each write is flushed at once: a progress line left open must
// be on screen before the slow signing call starts, and a coloured status
// text must have reached the console before its attributes are restored.

// The boundary header comes first: <windows.h> turns many of its names
// (MAX_PATH, STD_OUTPUT_HANDLE, ...) into macros.
#include "platform/platform.h"

#include <windows.h>

#include <cstdio>

namespace qm {
namespace {

bool StandardOutputIsConsole() {
    static const bool is_console = [] {
        ::DWORD mode = 0;
        return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
    }();
    return is_console;
}

}  // namespace

HANDLE GetStdHandle(DWORD which) { return ::GetStdHandle(which); }

BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info) {
    return ::GetConsoleScreenBufferInfo(console, reinterpret_cast<::CONSOLE_SCREEN_BUFFER_INFO*>(info));
}

BOOL SetConsoleTextAttribute(HANDLE console, WORD attributes) {
    return ::SetConsoleTextAttribute(console, attributes);
}

void WriteStandardOutput(const char* bytes, size_t count) {
    if (count != 0) std::fwrite(bytes, 1, count, stdout);
    if (StandardOutputIsConsole()) std::fflush(stdout);
}

void FlushStandardOutput() { std::fflush(stdout); }

}  // namespace qm
