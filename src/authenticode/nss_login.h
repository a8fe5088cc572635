// Logging in to the token that holds a signing key, with the PIN from
// pin_entry.h. NSS keeps the login for the life of its context, which is
// the process's: each token is logged in to once per run.
#pragma once

#include <cstdint>

typedef struct PK11SlotInfoStr PK11SlotInfo;
typedef struct CERTCertificateStr CERTCertificate;

namespace authenticode {

// kOk when the token needs no login or is logged in now. Otherwise
// kKeyNeedsPin (no PIN to be had), kWrongPin (the token refused the PIN,
// which is not tried again), kPinLocked, or the code of an unreadable PIN
// file.
int32_t LogInForKey(PK11SlotInfo* slot, CERTCertificate* certificate);

}  // namespace authenticode
