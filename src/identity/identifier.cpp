// Thumbprint recognition and the verbose summary of the settings in force.
#include "identity/identifier.h"

#include "console/output.h"

namespace qm {

namespace {

constexpr size_t kThumbprintDigits = 40;

bool IsHexDigit(WCHAR c) {
    if (c >= 'A' && c <= 'Z') c = static_cast<WCHAR>(c - 'A' + 'a');
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

}  // namespace

void InitFindCriteria(FindCriteria* criteria) {
    criteria->findType = CERT_FIND_SUBJECT_STR_W;
    criteria->findPara = nullptr;
    for (BYTE& b : criteria->thumbprint) b = 0;
    criteria->hashBlob.cbData = sizeof criteria->thumbprint;
    criteria->hashBlob.pbData = criteria->thumbprint;
}

int HexDigitValue(WCHAR c) {
    unsigned low = static_cast<unsigned>(c) & 0xFF;
    if (low >= '0' && low <= '9') return static_cast<int>(low - '0');
    if (low >= 'a' && low <= 'f') return static_cast<int>(low - 'a' + 10);
    return static_cast<int>(low - 'A' + 10);
}

bool IsThumbprint(const WCHAR* identifier) {
    size_t n = 0;
    for (; identifier[n] != 0; ++n) {
        if (n >= kThumbprintDigits || !IsHexDigit(identifier[n])) return false;
    }
    return n == kThumbprintDigits;
}

void DecodeSignerIdentifier(const WCHAR* identifier, const WCHAR* timestampUrl, bool verbose,
                            FindCriteria* criteria) {
    bool thumbprint = IsThumbprint(identifier);
    if (thumbprint) {
        for (size_t k = 0; k < sizeof criteria->thumbprint; ++k) {
            criteria->thumbprint[k] = static_cast<BYTE>(HexDigitValue(identifier[2 * k]) * 16 +
                                                        HexDigitValue(identifier[2 * k + 1]));
        }
        criteria->findType = CERT_FIND_SHA1_HASH;
        criteria->findPara = &criteria->hashBlob;
    } else {
        criteria->findPara = identifier;
    }
    if (verbose) {
        PrintWide(QM_WIDE("  %s: %s\n"), thumbprint ? QM_WIDE("CertHash") : QM_WIDE("CertName"),
                  identifier);
        PrintWide(QM_WIDE("  TimeStampUrl: %s\n"), timestampUrl);
    }
}

}  // namespace qm
