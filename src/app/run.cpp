// The run sequence: arguments, settings fallback, identifier, signing.
#include "app/run.h"

#include "console/output.h"
#include "cmdline/arguments.h"
#include "identity/identifier.h"
#include "settings/settings.h"
#include "signing/signing_phase.h"

namespace qm {

int32_t QuillmarkMain(int count, const WCHAR* const* args) {
    if (count <= 1) {
        PrintUsage();
        return 1;
    }
    RunOptions options;
    FileList files;
    FindCriteria criteria;
    InitFindCriteria(&criteria);

    if (ParseArguments(count, args, &options, &files) != ParseResult::kContinue) return 1;

    if (options.certificateId == nullptr &&
        !ReadSettingsFile(&options.certificateId, &options.timestampUrl)) {
        PrintNarrow("Error: No certficated subject name or SHA1 specified!\n");
        PrintUsage();
        return 1;
    }
    DecodeSignerIdentifier(options.certificateId, options.timestampUrl, options.verbose,
                           &criteria);
    return RunSigningPhase(options, criteria, files);
}

}  // namespace qm
