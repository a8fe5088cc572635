// Test launcher for Windows programs under Wine: runs a program, waits for
// it and writes its whole 32-bit exit code to a result file (a shell under
// Wine sees only the low 8 bits). With --console, run on a terminal, it sets
// the console's text attributes, clears it, runs the program on it and
// afterwards writes what the console shows, cell attributes included, so
// that colour output is checked cell by cell rather than from a terminal's
// escape sequences.
//
//   qmlaunch RESULT PROGRAM [ARG...]
//   qmlaunch --console ATTR RESULT PROGRAM [ARG...]
//
// RESULT receives "exit 0x%08x" and, with --console, one line per screen row
// written, as runs "[attr]text", then "final 0x%04x" (the attributes left
// set). The program's standard output is the launcher's own, unless it runs
// on the console.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// Quotes one argument so that the child's argument parser gives it back
// unchanged: blanks, quotes and empty arguments included.
void AppendQuoted(std::wstring& line, const wchar_t* arg) {
    if (*arg != 0 && std::wcspbrk(arg, L" \t\n\v\"") == nullptr) {
        line += arg;
        return;
    }
    line += L'"';
    for (const wchar_t* p = arg;; ++p) {
        size_t backslashes = 0;
        while (*p == L'\\') { ++backslashes; ++p; }
        if (*p == 0) { line.append(backslashes * 2, L'\\'); break; }
        if (*p == L'"') line.append(backslashes * 2 + 1, L'\\');
        else line.append(backslashes, L'\\');
        line += *p;
    }
    line += L'"';
}

std::string Hex(unsigned value, int width) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", width, value);
    return text;
}

// One row of the screen buffer as attribute runs, trailing blanks dropped.
std::string DescribeRow(const CHAR_INFO* cells, int width) {
    int end = width;
    while (end > 0 && cells[end - 1].Char.UnicodeChar == L' ') --end;
    std::string out;
    WORD current = 0;
    for (int x = 0; x < end; ++x) {
        if (x == 0 || cells[x].Attributes != current) {
            current = cells[x].Attributes;
            out += "[" + Hex(current, 2) + "]";
        }
        wchar_t c = cells[x].Char.UnicodeChar;
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

std::string DescribeConsole(HANDLE console) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(console, &info)) return "console unreadable\n";
    const int width = info.dwSize.X;
    const int rows = info.dwCursorPosition.Y + (info.dwCursorPosition.X > 0 ? 1 : 0);
    std::string out;
    CHAR_INFO* cells = new CHAR_INFO[width];
    for (int y = 0; y < rows; ++y) {
        COORD size = {static_cast<SHORT>(width), 1};
        COORD origin = {0, 0};
        SMALL_RECT region = {0, static_cast<SHORT>(y), static_cast<SHORT>(width - 1), static_cast<SHORT>(y)};
        if (!ReadConsoleOutputW(console, cells, size, origin, &region)) {
            out += "row unreadable\n";
            continue;
        }
        out += DescribeRow(cells, width) + "\n";
    }
    delete[] cells;
    return out + "final " + Hex(info.wAttributes, 4) + "\n";
}

// Under Wine a console exists when the launcher runs on a terminal (a pty
// will do); creating one would need a display. The screen is cleared so that
// the result shows the program's output alone.
bool PrepareConsole(WORD attributes) {
    // Inheritable: the program gets the launcher's standard handles.
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (console == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(console, &info)) return false;
    SetStdHandle(STD_OUTPUT_HANDLE, console);
    SetConsoleTextAttribute(console, attributes);
    const COORD home = {0, 0};
    const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
    DWORD done = 0;
    FillConsoleOutputCharacterW(console, L' ', cells, home, &done);
    FillConsoleOutputAttribute(console, attributes, cells, home, &done);
    SetConsoleCursorPosition(console, home);
    return true;
}

bool WriteResult(const wchar_t* path, const std::string& text) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}

int Usage() {
    std::fputs("usage: qmlaunch [--console ATTR] RESULT PROGRAM [ARG...]\n", stderr);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int i = 1;
    bool console_mode = false;
    WORD attributes = 0;
    if (i < argc && std::wcscmp(argv[i], L"--console") == 0) {
        if (i + 1 >= argc) return Usage();
        console_mode = true;
        attributes = static_cast<WORD>(std::wcstoul(argv[i + 1], nullptr, 0));
        i += 2;
    }
    if (argc - i < 2) return Usage();
    const wchar_t* result_path = argv[i];
    const wchar_t* program = argv[i + 1];

    std::wstring line;
    for (int k = i + 1; k < argc; ++k) {
        if (k > i + 1) line += L' ';
        AppendQuoted(line, argv[k]);
    }

    if (console_mode && !PrepareConsole(attributes)) {
        std::fputs("qmlaunch: no console\n", stderr);
        return 3;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "qmlaunch: CreateProcessW failed %lu\n", GetLastError());
        return 3;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    std::string text = "exit " + Hex(code, 8) + "\n";
    if (console_mode) text += DescribeConsole(GetStdHandle(STD_OUTPUT_HANDLE));
    if (!WriteResult(result_path, text)) {
        std::fputs("qmlaunch: cannot write the result file\n", stderr);
        return 3;
    }
    return 0;
}
