// The thread's last-error code and the process exit code on Windows.

// The boundary header comes first: <windows.h> turns many of its names
// (MAX_PATH, STD_OUTPUT_HANDLE, ...) into macros.
#include "platform/platform.h"

#include <windows.h>

namespace qm {

DWORD GetLastError() { return ::GetLastError(); }

void SetLastError(DWORD code) { ::SetLastError(code); }

// Windows keeps the whole 32-bit value, so a failing HRESULT reaches the
// caller exactly as the signing call returned it.
int ProcessExitCode(int32_t status) { return status; }

}  // namespace qm
