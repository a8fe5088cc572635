// Token login (see nss_login.h). The PIN goes straight to the token with
// PK11_CheckUserPassword: no password callback is installed, so nothing in
// NSS can ask again behind our back, and one PIN is tried once. A token
// that refused a PIN from the file or the environment is not tried again in
// this process with that same PIN; a prompt may give another.
#include "nss_login.h"

#include <cert.h>
#include <pk11pub.h>
#include <secerr.h>

#include <mutex>
#include <string>
#include <vector>

#include "hresult.h"
#include "pin_entry.h"

namespace authenticode {

namespace {

std::mutex g_lock;
std::vector<PK11SlotInfo*> g_refused;  // tokens that refused the PIN of the file or environment

bool Refused(PK11SlotInfo* slot) {
    for (PK11SlotInfo* s : g_refused) {
        if (s == slot) return true;
    }
    return false;
}

std::string CertificateName(CERTCertificate* certificate) {
    char* common = CERT_GetCommonName(&certificate->subject);
    std::string name = common != nullptr ? common : (certificate->subjectName ? certificate->subjectName : "");
    if (common != nullptr) PORT_Free(common);
    return name;
}

bool Locked(PK11SlotInfo* slot) {
    CK_TOKEN_INFO info;
    return PK11_GetTokenInfo(slot, &info) == SECSuccess && (info.flags & CKF_USER_PIN_LOCKED) != 0;
}

}  // namespace

int32_t LogInForKey(PK11SlotInfo* slot, CERTCertificate* certificate) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!PK11_NeedLogin(slot) || PK11_IsLoggedIn(slot, nullptr)) return kOk;
    if (Locked(slot)) return kPinLocked;
    if (PK11_ProtectedAuthenticationPath(slot)) {
        // A PIN pad: the token asks for the PIN itself.
        return PK11_Authenticate(slot, PR_TRUE, nullptr) == SECSuccess ? kOk : kKeyNeedsPin;
    }
    Pin pin;
    PinSource source = PinSource::kPrompt;
    int32_t code = ReadPin(PK11_GetTokenName(slot), CertificateName(certificate), Refused(slot), &pin, &source);
    // Without a terminal to ask for another one, the refused PIN is the answer.
    if (code == kKeyNeedsPin && Refused(slot)) return kWrongPin;
    if (code != kOk) return code;
    SECStatus rv = PK11_CheckUserPassword(slot, pin.text);
    if (rv == SECSuccess) return kOk;
    int error = PORT_GetError();
    if (error == SEC_ERROR_LOCKED_PASSWORD || Locked(slot)) return kPinLocked;
    if (rv == SECWouldBlock || error == SEC_ERROR_BAD_PASSWORD) {
        if (source != PinSource::kPrompt && !Refused(slot)) g_refused.push_back(slot);
        return kWrongPin;
    }
    return kKeyNeedsPin;
}

}  // namespace authenticode
