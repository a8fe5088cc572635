// The argument pass: options, plain files and wildcard patterns, left to right.
#include "cmdline/arguments.h"

#include "console/output.h"
#include "cmdline/pattern.h"

namespace qm {

namespace {

bool IsPattern(const WCHAR* arg) {
    for (; *arg != 0; ++arg) {
        if (*arg == '*' || *arg == '?') return true;
    }
    return false;
}

WCHAR FoldUpper(WCHAR c) { return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c - 'A' + 'a') : c; }

}  // namespace

ParseResult ParseArguments(int count, const WCHAR* const* args, RunOptions* options,
                           FileList* files) {
    bool optionsEnded = false;
    for (int i = 1; i < count; ++i) {
        const WCHAR* arg = args[i];
        // Which arguments of that form are options is the platform's rule.
        OptionArgument form = OptionArgument::kPath;
        if (!optionsEnded && (arg[0] == '-' || arg[0] == '/')) form = ClassifyOptionArgument(arg);
        if (form == OptionArgument::kEndOfOptions) {
            optionsEnded = true;
        } else if (form == OptionArgument::kOption) {
            // Only the letter right after the dash or slash counts.
            WCHAR letter = FoldUpper(arg[1]);
            if (letter == 'n' || letter == 't') {
                // The value is the next argument whatever it looks like; past
                // the last argument it is the vector's terminating null.
                const WCHAR* value = (i + 1 < count) ? args[i + 1] : nullptr;
                if (letter == 'n') {
                    options->certificateId = value;
                } else {
                    options->timestampUrl = value;
                }
                ++i;
            } else if (letter == 'v') {
                options->verbose = true;
            } else {
                PrintWide(QM_WIDE("Error: invalid paramter %s\n"), arg);
                PrintUsage();
                return ParseResult::kInvalidOption;
            }
        } else if (IsPattern(arg)) {
            ExpandPattern(arg, options->verbose, files);
        } else {
            if (options->verbose) PrintWide(QM_WIDE("Add file: %s\n"), arg);
            files->push_back(arg);
        }
    }
    return ParseResult::kContinue;
}

}  // namespace qm
