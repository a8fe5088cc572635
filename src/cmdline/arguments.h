// The run's options and file list, and the left-to-right argument pass.
#pragma once

#include <vector>

#include "platform/platform.h"

namespace qm {

// Paths to sign, in order; duplicates allowed. Entries point at argument
// strings or at copies kept for the life of the process.
typedef std::vector<const WCHAR*> FileList;

struct RunOptions {
    const WCHAR* certificateId = nullptr;  // none until /n or the settings file
    const WCHAR* timestampUrl = nullptr;
    bool verbose = false;
};

enum class ParseResult { kContinue, kInvalidOption };

// Reads arguments 1 to count-1. An invalid option prints its error line and
// the usage text and stops the pass.
ParseResult ParseArguments(int count, const WCHAR* const* args, RunOptions* options,
                           FileList* files);

}  // namespace qm
