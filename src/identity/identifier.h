// The signer identifier: subject text or a 40-digit SHA-1 thumbprint.
#pragma once

#include "platform/platform.h"

namespace qm {

// The certificate search criteria. findPara points either at the subject
// text or at hashBlob, which points at thumbprint; set up by
// InitFindCriteria and kept in place (do not copy once set up).
struct FindCriteria {
    DWORD findType;
    const void* findPara;
    CRYPT_HASH_BLOB hashBlob;
    BYTE thumbprint[20];
};

// Subject-text search with a zeroed thumbprint.
void InitFindCriteria(FindCriteria* criteria);

// Chooses the search form for the identifier and, when verbose, prints the
// summary of identifier and timestamp URL.
void DecodeSignerIdentifier(const WCHAR* identifier, const WCHAR* timestampUrl, bool verbose,
                            FindCriteria* criteria);

// 0-9 for '0'-'9', 10-15 for 'A'-'F' and 'a'-'f'; reads only the low 8 bits.
int HexDigitValue(WCHAR c);

bool IsThumbprint(const WCHAR* identifier);

}  // namespace qm
