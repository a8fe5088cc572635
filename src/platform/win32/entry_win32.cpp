// Process entry of the Windows build: the wide argument vector goes to the
// run sequence, and its status (0, 1 or the failing HRESULT, all 32 bits)
// becomes the exit code.
#include "app/run.h"
#include "platform/platform.h"

int wmain(int argc, wchar_t** argv) {
    const int32_t status = qm::QuillmarkMain(argc, argv);
    qm::FlushStandardOutput();
    return qm::ProcessExitCode(status);
}
