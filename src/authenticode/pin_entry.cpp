// The PIN sources (see pin_entry.h). The prompt goes to /dev/tty, never to
// standard output, which may be a file or a pipe. On the terminal the
// program's progress line ("QuillMark 1/3: a.exe", still without its
// status) stays as it is: the prompt takes the line below, and once the
// PIN is read that line is cleared and the cursor goes back to the end of
// the progress line, where the status follows.
#include "pin_entry.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "hresult.h"

namespace authenticode {

namespace {

// The terminal state to put back if a signal ends the process while echo
// is off.
int g_tty = -1;
struct termios g_saved;

void RestoreAndReraise(int signal_number) {
    if (g_tty >= 0) tcsetattr(g_tty, TCSAFLUSH, &g_saved);
    ::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

bool WriteAll(int fd, const char* text, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, text, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Reads up to the first line end (not kept) or the end of the input; a
// line longer than the buffer is cut, which no real PIN is. `ended` tells
// whether a line end was read.
bool ReadLine(int fd, Pin* pin, bool* ended = nullptr) {
    pin->size = 0;
    if (ended != nullptr) *ended = false;
    while (pin->size + 1 < sizeof pin->text) {
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        if (c == '\n') {
            if (ended != nullptr) *ended = true;
            break;
        }
        pin->text[pin->size++] = c;
        WipeMemory(&c, 1);
    }
    if (pin->size > 0 && pin->text[pin->size - 1] == '\r') --pin->size;
    pin->text[pin->size] = '\0';
    return true;
}

int32_t CodeOfErrno(int error) {
    switch (error) {
        case ENOENT: return kFileNotFound;
        case ENOTDIR: return kPathNotFound;
        case EACCES:
        case EPERM: return kAccessDenied;
        default: return kReadFault;
    }
}

int32_t ReadPinFile(const char* path, Pin* pin) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return CodeOfErrno(errno);
    bool ok = ReadLine(fd, pin);
    int error = errno;
    close(fd);
    return ok ? kOk : CodeOfErrno(error);
}

int32_t Prompt(const std::string& token, const std::string& certificate, Pin* pin) {
    int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) return kKeyNeedsPin;  // no controlling terminal: nobody to ask
    struct termios saved;
    if (tcgetattr(tty, &saved) != 0) {
        close(tty);
        return kKeyNeedsPin;
    }
    // Make sure a line exists below the progress line (IND scrolls at the
    // bottom of the screen, RI comes back up, both keeping the column), so
    // that the saved cursor position still names the progress line after
    // the prompt is written below it.
    std::string text = "\033D\033M\0337\r\nPIN for token \"" + token + "\" to sign with \"" + certificate + "\": ";
    struct sigaction previous[sizeof kSignals / sizeof kSignals[0]];
    g_saved = saved;
    g_tty = tty;
    struct sigaction restore{};
    restore.sa_handler = RestoreAndReraise;
    sigemptyset(&restore.sa_mask);
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) sigaction(kSignals[i], &restore, &previous[i]);
    struct termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    quiet.c_lflag |= ICANON;
    // End of input at the prompt (Ctrl-D) gives no PIN rather than an empty one.
    bool ended = false;
    bool ok = tcsetattr(tty, TCSAFLUSH, &quiet) == 0 && WriteAll(tty, text.data(), text.size()) &&
              ReadLine(tty, pin, &ended) && ended;
    tcsetattr(tty, TCSAFLUSH, &saved);
    g_tty = -1;
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) sigaction(kSignals[i], &previous[i], nullptr);
    static const char kBack[] = "\r\033[2K\0338";
    WriteAll(tty, kBack, sizeof kBack - 1);
    close(tty);
    return ok ? kOk : kKeyNeedsPin;
}

}  // namespace

Pin::Pin() { text[0] = '\0'; }

Pin::~Pin() { WipeMemory(text, sizeof text); }

void WipeMemory(void* data, size_t size) {
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) p[i] = 0;
}

int32_t ReadPin(const std::string& token, const std::string& certificate, bool prompt_only, Pin* pin,
                PinSource* source) {
    const char* file = prompt_only ? nullptr : getenv("QUILLMARK_PIN_FILE");
    if (file != nullptr && file[0] != '\0') {
        *source = PinSource::kFile;
        return ReadPinFile(file, pin);
    }
    const char* value = prompt_only ? nullptr : getenv("QUILLMARK_PIN");
    if (value != nullptr && value[0] != '\0') {
        *source = PinSource::kEnvironment;
        size_t n = strlen(value);
        if (n >= sizeof pin->text) n = sizeof pin->text - 1;
        memcpy(pin->text, value, n);
        pin->text[n] = '\0';
        pin->size = n;
        return kOk;
    }
    *source = PinSource::kPrompt;
    return Prompt(token, certificate, pin);
}

}  // namespace authenticode
