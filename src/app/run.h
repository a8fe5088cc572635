// The program's entry and run sequence, shared by both builds.
#pragma once

#include "platform/platform.h"

namespace qm {

// Runs quillmark for a wide argument vector (element 0 is not read;
// element count is null) and returns the run status: 0, 1 or a failing
// HRESULT. The platform's entry turns it into the process exit code.
int32_t QuillmarkMain(int count, const WCHAR* const* args);

}  // namespace qm
