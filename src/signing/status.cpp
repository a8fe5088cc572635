// Status output in colour: the foreground nibble is replaced for the text
// and the attributes captured at the start are restored afterwards.
#include "signing/status.h"

#include <cstdarg>

#include "console/output.h"

namespace qm {

namespace {
ConsoleState gConsole = {nullptr, 0};
}

void CaptureConsoleState() {
    gConsole.console = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    // A redirected stream has no attributes; the saved word then stays 0.
    if (GetConsoleScreenBufferInfo(gConsole.console, &info)) {
        gConsole.savedAttributes = info.wAttributes;
    }
}

void PrintStatus(WORD colour, const char* format, ...) {
    SetConsoleTextAttribute(gConsole.console,
                            static_cast<WORD>((gConsole.savedAttributes & 0xFFF0) | colour));
    va_list args;
    va_start(args, format);
    PrintNarrowV(format, args);
    va_end(args);
    SetConsoleTextAttribute(gConsole.console, gConsole.savedAttributes);
}

const ConsoleState& CurrentConsoleState() { return gConsole; }

}  // namespace qm
