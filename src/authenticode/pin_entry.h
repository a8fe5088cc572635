// Where the PIN of a token comes from, in this order: the file named by
// QUILLMARK_PIN_FILE (its first line), QUILLMARK_PIN, a prompt on the
// controlling terminal. Without any of them there is no PIN, and nothing
// waits: standard input is never read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace authenticode {

// A PIN in a fixed buffer, wiped when it goes, so that no copy of it is
// left behind in freed memory.
struct Pin {
    char text[1024];
    size_t size = 0;
    Pin();
    ~Pin();
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
};

// Writes zeros the compiler may not leave out.
void WipeMemory(void* data, size_t size);

enum class PinSource { kFile, kEnvironment, kPrompt };

// Reads the PIN for the token named `token`, which holds the key of the
// certificate named `certificate` (both shown by the prompt). kOk with the
// PIN and where it came from; kKeyNeedsPin when no source gives one; the
// file's own code when QUILLMARK_PIN_FILE names a file that cannot be read.
// With `prompt_only`, the file and the environment are passed over.
int32_t ReadPin(const std::string& token, const std::string& certificate, bool prompt_only, Pin* pin,
                PinSource* source);

}  // namespace authenticode
