// The signing phase: bind the signing library, find the certificate, sign
// every file in order, release what was obtained.
#pragma once

#include "cmdline/arguments.h"
#include "identity/identifier.h"
#include "platform/platform.h"

namespace qm {

struct SignerEntryPoints {
    PFN_SignerSignEx2 signEx2;
    PFN_SignerSign sign;
    PFN_SignerTimeStampEx2 timeStampEx2;
};

// The timestamp digest, as an object identifier for SignerSignEx2 and as an
// algorithm identifier for SignerTimeStampEx2.
inline constexpr const char kTimestampDigestOid[] = "2.16.840.1.101.3.4.2.1";

int32_t RunSigningPhase(const RunOptions& options, const FindCriteria& criteria,
                        const FileList& files);

// Loads the signing library and looks up its entry points; prints the
// failure and returns false when it cannot be used.
bool BindSigner(SignerEntryPoints* entry);

bool FindSigningCertificate(const FindCriteria& criteria, HCERTSTORE* store,
                            PCCERT_CONTEXT* certificate);

int32_t SignFiles(const FileList& files, const WCHAR* timestampUrl,
                  const SignerEntryPoints& entry, PCCERT_CONTEXT certificate);

}  // namespace qm
