// NSS side of signing: the certificate found by its DER in the process's
// shared NSS context, the key of the database's token that holds the
// certificate (logged in to once), and the chain as NSS builds it. Signers
// are kept for the rest of the process, so the files of a run reuse key and
// chain; they are released at exit, before the shared context shuts down
// (their exit handler is registered after the context's, so it runs first).
#include "nss_key.h"

#include <cert.h>
#include <cryptohi.h>
#include <keyhi.h>
#include <pk11pub.h>
#include <secasn1.h>
#include <secerr.h>
#include <stdlib.h>

#include <mutex>

#include "hresult.h"
#include "memory_key.h"
#include "nss_login.h"
#include "platform/posix/nss_shared_posix.h"

namespace authenticode {

struct NssSigner {
    std::string db_dir;
    Bytes der;
    bool include_root = false;
    CERTCertificate* certificate = nullptr;
    SECKEYPrivateKey* key = nullptr;
    KeyKind kind = KeyKind::kRsa;
    std::vector<Bytes> chain;
    MemoryKey* memory = nullptr;  // the database's key, signing through OpenSSL
    int signatures = 0;
};

namespace {

std::mutex g_lock;
std::vector<NssSigner*>* g_signers = nullptr;

void Destroy(NssSigner* signer) {
    FreeMemoryKey(signer->memory);
    if (signer->key != nullptr) SECKEY_DestroyPrivateKey(signer->key);
    if (signer->certificate != nullptr) CERT_DestroyCertificate(signer->certificate);
    delete signer;
}

void ReleaseAll() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_signers == nullptr) return;
    for (NssSigner* signer : *g_signers) Destroy(signer);
    delete g_signers;
    g_signers = nullptr;
}

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

// How a token lists the certificate: not at all, or with or without a key
// that NSS saw from the token's public objects (no login). Listing works
// where PK11_FindCertInSlot would want a login first (a token NSS does not
// count as having public certificates), and it reads the token itself,
// where NSS's certificate cache may know only the first database that held
// the same certificate.
enum class OnToken { kAbsent, kCertificate, kWithKey };

OnToken FindOnToken(PK11SlotInfo* slot, CERTCertificate* cert) {
    CERTCertList* certs = PK11_ListCertsInSlot(slot);
    if (certs == nullptr) return OnToken::kAbsent;
    OnToken found = OnToken::kAbsent;
    for (CERTCertListNode* node = CERT_LIST_HEAD(certs); !CERT_LIST_END(node, certs); node = CERT_LIST_NEXT(node)) {
        if (SECITEM_CompareItem(&node->cert->derCert, &cert->derCert) != SECEqual) continue;
        found = CERT_IsUserCert(node->cert) ? OnToken::kWithKey : OnToken::kCertificate;
        break;
    }
    CERT_DestroyCertList(certs);
    return found;
}

// Where a key of the database's own token cannot be exported, NSS signs
// with it, and the token reads it from key4.db for every signature
// (a dozen SQLite queries and locks, about 0.5 ms); a copy as a session
// object, in memory for the life of the context, signs without them. The
// copy costs about three signatures' worth of that, so it is made at the
// second signature: a run of one file never pays for it. Keys on other
// tokens never leave them.
void KeepInMemory(NssSigner* signer) {
    PK11SlotInfo* slot = signer->key->pkcs11Slot;
    if (slot == nullptr || !PK11_IsInternal(slot)) return;
    SECKEYPrivateKey* copy = PK11_CopyTokenPrivKeyToSessionPrivKey(slot, signer->key);
    if (copy == nullptr) return;
    SECKEY_DestroyPrivateKey(signer->key);
    signer->key = copy;
}

// A key of the database's own token, exported into memory for OpenSSL to
// sign with. NSS lets a sensitive key out only encrypted; the password is
// random, used once (one PBKDF2 round does: the blob never leaves the
// process) and wiped. Keys on other tokens never leave them. Null when NSS
// refuses (a key marked not extractable, say): NSS then signs.
MemoryKey* ExportToMemory(const NssSigner* signer) {
    PK11SlotInfo* slot = signer->key->pkcs11Slot;
    if (slot == nullptr || !PK11_IsInternal(slot)) return nullptr;
    unsigned char random[24];
    if (PK11_GenerateRandom(random, sizeof random) != SECSuccess) return nullptr;
    static const char kHex[] = "0123456789abcdef";
    std::string password(2 * sizeof random, '0');
    for (size_t i = 0; i < sizeof random; ++i) {
        password[2 * i] = kHex[random[i] >> 4];
        password[2 * i + 1] = kHex[random[i] & 15];
    }
    PORT_Memset(random, 0, sizeof random);
    SECItem secret{siBuffer, reinterpret_cast<unsigned char*>(password.data()),
                   static_cast<unsigned int>(password.size())};
    SECKEYEncryptedPrivateKeyInfo* sealed =
        PK11_ExportEncryptedPrivKeyInfo(nullptr, SEC_OID_AES_256_CBC, &secret, signer->key, 1, nullptr);
    SECItem* encoded = nullptr;
    if (sealed != nullptr) {
        encoded = SEC_ASN1EncodeItem(nullptr, nullptr, sealed, SEC_ASN1_GET(SECKEY_EncryptedPrivateKeyInfoTemplate));
        SECKEY_DestroyEncryptedPrivateKeyInfo(sealed, PR_TRUE);
    }
    MemoryKey* key = nullptr;
    if (encoded != nullptr) {
        key = LoadMemoryKey(ItemBytes(*encoded), password, signer->der, signer->kind);
        SECITEM_FreeItem(encoded, PR_TRUE);
    }
    PORT_Memset(password.data(), 0, password.size());
    return key;
}

// Only a token holding the certificate is logged in to: asking every token
// would spread a wrong PIN to cards that lock after a few tries. Tokens that
// need no login come first; a token is asked for a PIN only when it shows a
// key for the certificate, so a certificate without a key fails without a
// PIN being asked for. Tokens other than the database's own come before it
// (a certificate put on a token usually has a copy, without a key, in the
// database).
int32_t FindKey(const qm::NssDatabase* db, NssSigner* signer) {
    std::vector<PK11SlotInfo*> open, token, internal;
    for (int i = 0; i < qm::NssDatabaseSlotCount(db); ++i) {
        PK11SlotInfo* slot = qm::NssDatabaseSlot(db, i);
        OnToken on = FindOnToken(slot, signer->certificate);
        if (on == OnToken::kAbsent) continue;
        if (!PK11_NeedLogin(slot) || PK11_IsLoggedIn(slot, nullptr)) {
            open.push_back(slot);
        } else if (on == OnToken::kWithKey) {
            (PK11_IsInternal(slot) ? internal : token).push_back(slot);
        }
    }
    open.insert(open.end(), token.begin(), token.end());
    open.insert(open.end(), internal.begin(), internal.end());
    for (PK11SlotInfo* slot : open) {
        int32_t code = LogInForKey(slot, signer->certificate);
        if (code != kOk) return code;
        signer->key = PK11_FindPrivateKeyFromCert(slot, signer->certificate, nullptr);
        if (signer->key != nullptr) break;
    }
    if (signer->key == nullptr) return kNoKey;
    switch (SECKEY_GetPrivateKeyType(signer->key)) {
        case rsaKey: signer->kind = KeyKind::kRsa; return kOk;
        case ecKey: signer->kind = KeyKind::kEcdsa; return kOk;
        default: return kBadAlgorithm;
    }
}

int32_t MakeSigner(const std::string& db_dir, const Bytes& certificate, bool include_root, NssSigner** out) {
    qm::NssDatabase* db = nullptr;
    // No database (or one that cannot be opened): nothing there holds the key.
    if (qm::OpenNssDatabase(db_dir, &db) != 0 || db == nullptr) return kNoKey;
    NssSigner* signer = new NssSigner;
    signer->db_dir = db_dir;
    signer->der = certificate;
    signer->include_root = include_root;
    SECItem der{siBuffer, const_cast<unsigned char*>(certificate.data()),
                static_cast<unsigned int>(certificate.size())};
    signer->certificate = CERT_FindCertByDERCert(CERT_GetDefaultCertDB(), &der);
    int32_t code = signer->certificate == nullptr ? kNoKey : FindKey(db, signer);
    if (code == kOk) code = ReadChain(signer, include_root);
    if (code != kOk) {
        Destroy(signer);
        return code;
    }
    *out = signer;
    return kOk;
}

}  // namespace

int32_t AcquireNssSigner(const std::string& db_dir, const Bytes& certificate, bool include_root,
                         NssSigner** out) {
    *out = nullptr;
    if (certificate.empty()) return kInvalidArg;
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_signers != nullptr) {
        for (NssSigner* signer : *g_signers) {
            if (signer->der == certificate && signer->include_root == include_root && signer->db_dir == db_dir) {
                *out = signer;
                return kOk;
            }
        }
    }
    NssSigner* signer = nullptr;
    int32_t code = MakeSigner(db_dir, certificate, include_root, &signer);
    if (code != kOk) return code;
    if (g_signers == nullptr) {
        g_signers = new std::vector<NssSigner*>;
        atexit(ReleaseAll);
    }
    g_signers->push_back(signer);
    *out = signer;
    return kOk;
}

const std::vector<Bytes>& NssSignerChain(const NssSigner* signer) { return signer->chain; }

KeyKind NssSignerKeyKind(const NssSigner* signer) { return signer->kind; }

int32_t NssSignDigest(NssSigner* signer, const uint8_t digest[32], Bytes* signature) {
    ++signer->signatures;
    if (signer->signatures == 1) signer->memory = ExportToMemory(signer);
    // A signature that fails or does not verify there is made again by NSS.
    if (signer->memory != nullptr && MemoryKeySign(signer->memory, digest, signature)) return kOk;
    if (signer->signatures == 2 && signer->memory == nullptr) KeepInMemory(signer);
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

}  // namespace authenticode
