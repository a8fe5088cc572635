// Process entry on POSIX: the byte arguments become the wide argument vector.
#include <signal.h>

#include <string>
#include <vector>

#include "app/run.h"
#include "platform/posix/text_posix.h"

int main(int argc, char** argv) {
    // A reader that goes away (quillmark ... | head) must not end the run
    // halfway through a list of files; the output is simply lost.
    signal(SIGPIPE, SIG_IGN);

    std::vector<std::u16string> wide;
    wide.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) wide.push_back(qm::WideFromBytes(argv[i]));
    std::vector<const char16_t*> args;
    args.reserve(wide.size() + 1);
    for (const auto& w : wide) args.push_back(w.c_str());
    args.push_back(nullptr);

    int32_t status = qm::QuillmarkMain(argc, args.data());
    qm::FlushStandardOutput();
    return qm::ProcessExitCode(status);
}
