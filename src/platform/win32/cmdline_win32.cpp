// The command line's option syntax on Windows: every argument that starts
// with '-' or '/' is an option, as with every console program of the
// platform; paths there start with a drive, a '\' or a name.
#include "platform/platform.h"

namespace qm {

OptionArgument ClassifyOptionArgument(LPCWSTR) { return OptionArgument::kOption; }

}  // namespace qm
