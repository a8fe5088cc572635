// NSS side of signing: a private NSS context per call, the certificate found
// by its DER, the chain as NSS builds it, and the key of the token that holds
// the certificate. Nothing is kept between calls: NSS objects still alive
// would make the program's own NSS_ShutdownContext fail.
#include "nss_key.h"

#include <cert.h>
#include <cryptohi.h>
#include <keyhi.h>
#include <nss.h>
#include <pk11pub.h>
#include <secerr.h>

#include "hresult.h"

namespace authenticode {

struct NssSigner {
    NSSInitContext* context = nullptr;
    CERTCertificate* certificate = nullptr;
    SECKEYPrivateKey* key = nullptr;
    KeyKind kind = KeyKind::kRsa;
    std::vector<Bytes> chain;
};

namespace {

Bytes ItemBytes(const SECItem& item) { return Bytes(item.data, item.data + item.len); }

bool IsSelfSigned(const SECItem& der_cert) {
    CERTCertificate* cert = CERT_FindCertByDERCert(CERT_GetDefaultCertDB(), const_cast<SECItem*>(&der_cert));
    if (cert == nullptr) return false;
    bool self = SECITEM_CompareItem(&cert->derIssuer, &cert->derSubject) == SECEqual;
    CERT_DestroyCertificate(cert);
    return self;
}

int32_t ReadChain(NssSigner* signer, bool include_root) {
    CERTCertificateList* list = CERT_CertChainFromCert(signer->certificate, certUsageObjectSigner,
                                                       include_root ? PR_TRUE : PR_FALSE);
    if (list == nullptr || list->len < 1) {
        if (list != nullptr) CERT_DestroyCertificateList(list);
        signer->chain.push_back(ItemBytes(signer->certificate->derCert));
        return kOk;
    }
    int count = list->len;
    // NSS leaves a self-signed certificate at the end when the chain ends in
    // one it does not know as a root; never the signer itself, though.
    if (!include_root && count > 1 && IsSelfSigned(list->certs[count - 1])) --count;
    for (int i = 0; i < count; ++i) signer->chain.push_back(ItemBytes(list->certs[i]));
    CERT_DestroyCertificateList(list);
    return kOk;
}

int32_t FindKey(NssSigner* signer) {
    PK11SlotInfo* slot = signer->certificate->slot;
    if (slot == nullptr) return kNoKey;
    // Only the token holding the certificate is asked, and only if it needs
    // no PIN (or has its own PIN pad): there is nobody to ask for one.
    if (PK11_NeedLogin(slot) && !PK11_IsLoggedIn(slot, nullptr)) {
        if (!PK11_ProtectedAuthenticationPath(slot)) return kKeyNeedsPin;
        if (PK11_Authenticate(slot, PR_TRUE, nullptr) != SECSuccess) return kKeyNeedsPin;
    }
    signer->key = PK11_FindPrivateKeyFromCert(slot, signer->certificate, nullptr);
    if (signer->key == nullptr) return PORT_GetError() == SEC_ERROR_BAD_PASSWORD ? kKeyNeedsPin : kNoKey;
    switch (SECKEY_GetPrivateKeyType(signer->key)) {
        case rsaKey: signer->kind = KeyKind::kRsa; return kOk;
        case ecKey: signer->kind = KeyKind::kEcdsa; return kOk;
        default: return kBadAlgorithm;
    }
}

}  // namespace

int32_t OpenNssSigner(const std::string& db_dir, const Bytes& certificate, bool include_root,
                      NssSigner** out) {
    *out = nullptr;
    if (certificate.empty()) return kInvalidArg;
    NssSigner* signer = new NssSigner;
    std::string config = "sql:" + db_dir;
    signer->context = NSS_InitContext(config.c_str(), "", "", "", nullptr,
                                      NSS_INIT_READONLY | NSS_INIT_NOROOTINIT);
    if (signer->context == nullptr) {
        // No database (or an unreadable one): nothing there holds the key.
        delete signer;
        return kNoKey;
    }
    SECItem der{siBuffer, const_cast<unsigned char*>(certificate.data()),
                static_cast<unsigned int>(certificate.size())};
    signer->certificate = CERT_FindCertByDERCert(CERT_GetDefaultCertDB(), &der);
    int32_t code = signer->certificate == nullptr ? kNoKey : FindKey(signer);
    if (code == kOk) code = ReadChain(signer, include_root);
    if (code != kOk) {
        CloseNssSigner(signer);
        return code;
    }
    *out = signer;
    return kOk;
}

const std::vector<Bytes>& NssSignerChain(const NssSigner* signer) { return signer->chain; }

KeyKind NssSignerKeyKind(const NssSigner* signer) { return signer->kind; }

int32_t NssSignDigest(NssSigner* signer, const uint8_t digest[32], Bytes* signature) {
    SECItem digest_item{siBuffer, const_cast<unsigned char*>(digest), 32};
    SECItem raw{siBuffer, nullptr, 0};
    if (SGN_Digest(signer->key, SEC_OID_SHA256, &raw, &digest_item) != SECSuccess) {
        int error = PORT_GetError();
        return error == SEC_ERROR_BAD_PASSWORD || error == SEC_ERROR_TOKEN_NOT_LOGGED_IN ? kKeyNeedsPin
                                                                                       : kSignFailed;
    }
    int32_t code = kOk;
    if (signer->kind == KeyKind::kEcdsa) {
        // NSS gives r||s; CMS wants the DER Ecdsa-Sig-Value.
        SECItem encoded{siBuffer, nullptr, 0};
        if (DSAU_EncodeDerSigWithLen(&encoded, &raw, raw.len) == SECSuccess) {
            *signature = ItemBytes(encoded);
        } else {
            code = kSignFailed;
        }
        SECITEM_FreeItem(&encoded, PR_FALSE);
    } else {
        *signature = ItemBytes(raw);
    }
    SECITEM_FreeItem(&raw, PR_FALSE);
    return code;
}

void CloseNssSigner(NssSigner* signer) {
    if (signer == nullptr) return;
    if (signer->key != nullptr) SECKEY_DestroyPrivateKey(signer->key);
    if (signer->certificate != nullptr) CERT_DestroyCertificate(signer->certificate);
    if (signer->context != nullptr) NSS_ShutdownContext(signer->context);
    delete signer;
}

}  // namespace authenticode
