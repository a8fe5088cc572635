// The command line's option syntax on POSIX.
//
// The Windows option prefix '/' is also how every absolute path begins here,
// and build scripts, CI jobs and find -exec hand over absolute paths. An
// option is a single word ("/n", "/verbose"), so an argument that holds a
// second '/' can only be a path. "--" is the usual end of options on this
// platform, for the rare path that still looks like one ("-a.exe", "/app.exe").
#include "platform/platform.h"

namespace qm {

OptionArgument ClassifyOptionArgument(LPCWSTR arg) {
    if (arg[0] == '-' && arg[1] == '-' && arg[2] == 0) return OptionArgument::kEndOfOptions;
    if (arg[0] == '/') {
        for (LPCWSTR p = arg + 1; *p != 0; ++p) {
            if (*p == '/') return OptionArgument::kPath;
        }
    }
    return OptionArgument::kOption;
}

}  // namespace qm
