// Formatted output to standard output. Narrow texts are written as they
// are; wide texts one byte per UTF-16 unit, '?' for units above U+00FF.
// Each print call hands its whole text to the platform in one write, so
// prints reach the output in program order; a print that ends a line is
// flushed before it returns, whatever the output is.
#pragma once

#include <cstdarg>

#include "platform/platform.h"

namespace qm {

// Formats understood: %d (int32), %x (uint32, lower-case hex), %s (a narrow
// string in narrow formats, a wide string in wide formats; null prints
// "(null)") and %%.
void PrintNarrow(const char* format, ...);
void PrintWide(const WCHAR* format, ...);
void PrintNarrowV(const char* format, va_list args);

void PrintUsage();

// Keeps a copy of text alive until the process ends and returns it.
const WCHAR* KeepString(const WCHAR* text, size_t length);

size_t WideLength(const WCHAR* text);

}  // namespace qm
