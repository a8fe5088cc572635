// The thread's last-error code, and the process exit code for a run status.
#include "platform/platform.h"

namespace qm {

namespace {
thread_local DWORD gLastError = ERROR_SUCCESS;
}

DWORD GetLastError() { return gLastError; }

void SetLastError(DWORD code) { gLastError = code; }

int ProcessExitCode(int32_t status) {
    // A POSIX exit status holds 8 bits. A failing HRESULT keeps its low byte,
    // and one whose low byte is 0 exits 255, so a failure never reads as 0.
    if (status == 0 || status == 1) return status;
    int low = static_cast<int>(static_cast<uint32_t>(status) & 0xFF);
    return low != 0 ? low : 255;
}

}  // namespace qm
