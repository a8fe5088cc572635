// Standard output and console colour on POSIX.
//
// A terminal gets every write at once (a progress line left open is on
// screen before the signing call starts) and colour as ANSI SGR sequences.
// A file or pipe gets the text alone, never a control byte, buffered until
// the program flushes it (it does at the end of every line).
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"

namespace qm {

namespace {

// The attributes a terminal reports: light grey on black, the console
// default. Restoring them resets the terminal to its own colours.
constexpr WORD kTerminalDefault = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;
constexpr size_t kBufferLimit = 64 * 1024;

HANDLE const kStdoutHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(1));

struct OutputState {
    bool probed = false;
    bool terminal = false;
    bool colour = false;
    std::string pending;
};

OutputState& Output() {
    static OutputState state;
    if (!state.probed) {
        state.probed = true;
        state.terminal = isatty(STDOUT_FILENO) == 1;
        const char* noColour = getenv("NO_COLOR");
        state.colour = state.terminal && (noColour == nullptr || noColour[0] == '\0');
    }
    return state;
}

void WriteAll(const char* bytes, size_t count) {
    while (count > 0) {
        ssize_t n = write(STDOUT_FILENO, bytes, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // a closed or failing stream: the text is lost, the run goes on
        }
        bytes += n;
        count -= static_cast<size_t>(n);
    }
}

// Windows colour bits (blue 1, green 2, red 4) to the ANSI colour number.
int AnsiColour(unsigned nibble) {
    return ((nibble & 4) ? 1 : 0) | ((nibble & 2) ? 2 : 0) | ((nibble & 1) ? 4 : 0);
}

std::string SgrFor(WORD attributes) {
    if (attributes == kTerminalDefault) return "\x1b[0m";
    unsigned fg = attributes & 0xF;
    unsigned bg = (attributes >> 4) & 0xF;
    std::string sgr = "\x1b[0;" + std::to_string(((fg & 8) ? 90 : 30) + AnsiColour(fg));
    // The terminal's own background stands for black, as it was reported.
    if (bg != 0) sgr += ";" + std::to_string(((bg & 8) ? 100 : 40) + AnsiColour(bg));
    return sgr + "m";
}

}  // namespace

void WriteStandardOutput(const char* bytes, size_t count) {
    OutputState& out = Output();
    if (out.terminal) {
        WriteAll(bytes, count);
        return;
    }
    out.pending.append(bytes, count);
    if (out.pending.size() >= kBufferLimit) FlushStandardOutput();
}

void FlushStandardOutput() {
    OutputState& out = Output();
    if (out.pending.empty()) return;
    WriteAll(out.pending.data(), out.pending.size());
    out.pending.clear();
}

HANDLE GetStdHandle(DWORD which) {
    if (which == STD_OUTPUT_HANDLE) return kStdoutHandle;
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
}

BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info) {
    if (console != kStdoutHandle || info == nullptr || !Output().terminal) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    *info = CONSOLE_SCREEN_BUFFER_INFO{{80, 25}, {0, 0}, kTerminalDefault, {0, 0, 79, 24}, {80, 25}};
    return 1;
}

BOOL SetConsoleTextAttribute(HANDLE console, WORD attributes) {
    OutputState& out = Output();
    if (console != kStdoutHandle || !out.terminal) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (out.colour) {
        std::string sgr = SgrFor(attributes);
        WriteAll(sgr.data(), sgr.size());
    }
    return 1;
}

}  // namespace qm
