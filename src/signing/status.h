// Coloured status texts on the console.
#pragma once

#include "platform/platform.h"

namespace qm {

constexpr WORD kColourGreen = FOREGROUND_GREEN | FOREGROUND_INTENSITY;  // 10
constexpr WORD kColourRed = FOREGROUND_RED | FOREGROUND_INTENSITY;      // 12

struct ConsoleState {
    HANDLE console;
    WORD savedAttributes;  // 0 until captured
};

// Records the console's attributes once, at the start of the signing phase.
void CaptureConsoleState();

// Prints the formatted narrow text in the colour (foreground replaced,
// background kept), then puts the recorded attributes back.
void PrintStatus(WORD colour, const char* format, ...);

const ConsoleState& CurrentConsoleState();

}  // namespace qm
