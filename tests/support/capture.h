// Test support: runs a piece of code with standard output sent to a
// temporary file and returns the bytes the program wrote.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"

namespace qm::testing {

template <typename F>
std::string CaptureOutput(F print) {
    FlushStandardOutput();
    char path[] = "/tmp/qm_capture_XXXXXX";
    int fd = mkstemp(path);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    print();
    FlushStandardOutput();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fd);
    unlink(path);
    return text;
}

// A scratch folder removed with everything in it at the end of the test.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        char name[] = "/tmp/qm_test_XXXXXX";
        path = mkdtemp(name);
    }
    ~ScratchDir() {
        std::string cmd = "rm -rf '" + path + "'";
        if (system(cmd.c_str()) != 0) {}
    }
};

}  // namespace qm::testing
