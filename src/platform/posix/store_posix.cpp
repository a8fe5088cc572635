// The current user's personal certificate store ("MY") over the user's NSS
// database.
//
// The store holds every certificate of the database's tokens (its own soft
// token and registered PKCS#11 modules) that has a private key, a CA
// certificate too (a self-signed signer made with `openssl req -x509` is
// one), plus the end-entity certificates without a key; the CA certificates
// without one (a PFX's chain) only serve to build chains. All of it is
// listed without logging in anywhere: NSS tells a key's presence from the
// token's public objects. Searches follow the Windows rules: a subject-text
// search is a case-insensitive substring match over the subject written as
// a simple name string (values only, in encoded order, ", " between RDNs,
// " + " inside one), a thumbprint search compares the SHA-1 of the DER.
#include <locale.h>
#include <wctype.h>

#include <cert.h>
#include <nss.h>
#include <pk11pub.h>
#include <prerror.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/nss_shared_posix.h"
#include "platform/posix/nssdb_posix.h"
#include "platform/posix/text_posix.h"

namespace qm {

namespace {

constexpr DWORD CRYPT_E_PENDING_CLOSE = 0x8009200Du;
constexpr DWORD E_INVALIDARG_CODE = 0x80070057u;

struct Store {
    NssDatabase* db;  // null for a user without a database: an empty store
    int references;   // the open handle plus each certificate handed out
    bool closed;
    // The certificates of the latest search, held until the store goes.
    // While they are, NSS keeps them (with their trust and key flags) in
    // its certificate cache, so the signing library's own look-ups of the
    // signer and its chain in the same database are answered from memory
    // instead of by a dozen database queries each.
    std::vector<CERTCertList*> listed;
};

void DropListed(std::vector<CERTCertList*>* lists) {
    for (CERTCertList* list : *lists) CERT_DestroyCertList(list);
    lists->clear();
}

// Handed out as its first member; CertFreeCertificateContext recovers it.
// context.hCertStore is the Store it holds a reference to.
struct CertificateHandle {
    CERT_CONTEXT context;
};

// The database itself stays open for the rest of the process (the signing
// library signs with it); only the handle goes.
void Release(Store* store) {
    if (--store->references > 0) return;
    DropListed(&store->listed);
    delete store;
}

// ---- subject rendering --------------------------------------------------

bool NeedsQuotes(const std::u16string& v) {
    if (v.empty()) return false;
    if (v.front() == ' ' || v.back() == ' ') return true;
    for (char16_t c : v) {
        if (c == ',' || c == '+' || c == '=' || c == '"' || c == '\n' || c == '<' || c == '>' ||
            c == '#' || c == ';') {
            return true;
        }
    }
    return false;
}

std::u16string RenderValue(const SECItem& der) {
    SECItem* decoded = CERT_DecodeAVAValue(&der);
    std::u16string value;
    if (decoded != nullptr) {
        value = WideFromBytes(std::string_view(reinterpret_cast<const char*>(decoded->data), decoded->len));
        SECITEM_FreeItem(decoded, PR_TRUE);
    } else {
        // Not a string type: shown as '#' and the hex of its encoding.
        static const char kHex[] = "0123456789ABCDEF";
        value.push_back(u'#');
        for (unsigned i = 0; i < der.len; ++i) {
            value.push_back(static_cast<char16_t>(kHex[der.data[i] >> 4]));
            value.push_back(static_cast<char16_t>(kHex[der.data[i] & 0xF]));
        }
        return value;
    }
    if (!NeedsQuotes(value)) return value;
    std::u16string quoted = u"\"";
    for (char16_t c : value) {
        if (c == '"') quoted.push_back(u'"');
        quoted.push_back(c);
    }
    quoted.push_back(u'"');
    return quoted;
}

std::u16string SimpleNameString(const CERTName& name) {
    std::u16string out;
    if (name.rdns == nullptr) return out;
    for (CERTRDN** rdn = name.rdns; *rdn != nullptr; ++rdn) {
        if ((*rdn)->avas == nullptr) continue;
        bool firstAva = true;
        for (CERTAVA** ava = (*rdn)->avas; *ava != nullptr; ++ava) {
            if (!out.empty()) out += firstAva ? u", " : u" + ";
            out += RenderValue((*ava)->value);
            firstAva = false;
        }
    }
    return out;
}

// ASCII folds alike in every locale; the C.UTF-8 tables (a few files to
// read, about 0.1 ms) are loaded only once a search meets another character.
char16_t FoldForSearch(char16_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? static_cast<char16_t>(c + 32) : c;
    if (c >= 0xD800 && c <= 0xDFFF) return c;
    static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (locale != static_cast<locale_t>(0)) return static_cast<char16_t>(towlower_l(c, locale));
    return c;
}

bool ContainsIgnoringCase(const std::u16string& haystack, const char16_t* needle) {
    std::u16string h, n;
    for (char16_t c : haystack) h.push_back(FoldForSearch(c));
    for (const char16_t* p = needle; *p != 0; ++p) n.push_back(FoldForSearch(*p));
    return h.find(n) != std::u16string::npos;
}

// ---- matching -------------------------------------------------------------

bool Matches(CERTCertificate* cert, DWORD findType, const void* findPara) {
    if (findType == CERT_FIND_SHA1_HASH) {
        const auto* blob = static_cast<const CRYPT_HASH_BLOB*>(findPara);
        if (blob->cbData != 20 || blob->pbData == nullptr) return false;
        unsigned char digest[20];
        if (PK11_HashBuf(SEC_OID_SHA1, digest, cert->derCert.data,
                         static_cast<PRInt32>(cert->derCert.len)) != SECSuccess) {
            return false;
        }
        return std::memcmp(digest, blob->pbData, 20) == 0;
    }
    return ContainsIgnoringCase(SimpleNameString(cert->subject),
                                static_cast<const char16_t*>(findPara));
}

bool SameDer(const std::vector<BYTE>& der, PCCERT_CONTEXT cert) {
    return der.size() == cert->cbCertEncoded &&
           std::memcmp(der.data(), cert->pbCertEncoded, der.size()) == 0;
}

// A CA certificate belongs to the store only with its key. CERT_IsUserCert
// reads the trust NSS worked out when it loaded the certificate, from key
// objects it may see without a login (a token's public key).
bool InStore(CERTCertificate* cert) {
    return !CERT_IsCACert(cert, nullptr) || CERT_IsUserCert(cert);
}

// Walks the store's certificates of every token of the database in a stable
// order and copies the DER of the first one that matches; with `after`, of
// the first match that comes after that certificate. The lists walked go
// to `listed`.
bool FindMatch(const NssDatabase* db, DWORD findType, const void* findPara, PCCERT_CONTEXT after,
               std::vector<BYTE>* der, std::vector<CERTCertList*>* listed) {
    std::vector<std::vector<BYTE>> seen;
    bool passed = after == nullptr;
    bool found = false;
    for (int i = 0; i < NssDatabaseSlotCount(db) && !found; ++i) {
        CERTCertList* certs = PK11_ListCertsInSlot(NssDatabaseSlot(db, i));
        if (certs == nullptr) continue;
        for (CERTCertListNode* node = CERT_LIST_HEAD(certs); !CERT_LIST_END(node, certs);
             node = CERT_LIST_NEXT(node)) {
            CERTCertificate* cert = node->cert;
            if (!InStore(cert)) continue;
            std::vector<BYTE> bytes(cert->derCert.data, cert->derCert.data + cert->derCert.len);
            bool duplicate = false;
            for (const auto& s : seen) duplicate = duplicate || s == bytes;
            if (duplicate) continue;
            seen.push_back(bytes);
            if (!Matches(cert, findType, findPara)) continue;
            if (!passed) {
                passed = SameDer(bytes, after);
                continue;
            }
            *der = std::move(bytes);
            found = true;
            break;
        }
        listed->push_back(certs);
    }
    return found;
}

}  // namespace

HCERTSTORE CertOpenStore(LPCSTR provider, DWORD /*encoding*/, uintptr_t /*cryptProv*/,
                         DWORD flags, const void* para) {
    const auto* name = static_cast<const char16_t*>(para);
    if (provider != CERT_STORE_PROV_SYSTEM_W || (flags & CERT_SYSTEM_STORE_CURRENT_USER) == 0 ||
        name == nullptr || BytesFromWide(name) != "MY") {
        // Only the current user's personal store exists on this platform.
        SetLastError(E_INVALIDARG_CODE);
        return nullptr;
    }
    NssDatabase* db = nullptr;
    DWORD code = OpenNssDatabase(UserNssDatabaseDir(), &db);
    if (code != 0) {
        SetLastError(code);
        return nullptr;
    }
    return new Store{db, 1, false, {}};
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE handle, DWORD /*encoding*/,
                                          DWORD /*findFlags*/, DWORD findType,
                                          const void* findPara, PCCERT_CONTEXT previous) {
    auto* store = static_cast<Store*>(handle);
    if (store == nullptr || findPara == nullptr ||
        (findType != CERT_FIND_SHA1_HASH && findType != CERT_FIND_SUBJECT_STR_W)) {
        SetLastError(E_INVALIDARG_CODE);
        return nullptr;
    }
    std::vector<BYTE> der;
    std::vector<CERTCertList*> listed;
    bool found = store->db != nullptr &&
                 FindMatch(store->db, findType, findPara, previous, &der, &listed);
    DropListed(&store->listed);
    store->listed = std::move(listed);
    CertificateHandle* cert = nullptr;
    if (found) {
        cert = new CertificateHandle{};
        cert->context.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
        cert->context.pbCertEncoded = new BYTE[der.size()];
        std::memcpy(cert->context.pbCertEncoded, der.data(), der.size());
        cert->context.cbCertEncoded = static_cast<DWORD>(der.size());
        cert->context.pCertInfo = nullptr;
        cert->context.hCertStore = store;
        ++store->references;
    }
    // Searching on after `previous` (as the platform does) frees it; only
    // now, as its store reference may be the one that keeps the store.
    CertFreeCertificateContext(previous);
    if (!found) {
        SetLastError(CRYPT_E_NOT_FOUND);
        return nullptr;
    }
    return &cert->context;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
    if (context == nullptr) return 1;
    auto* cert = reinterpret_cast<CertificateHandle*>(const_cast<CERT_CONTEXT*>(context));
    delete[] cert->context.pbCertEncoded;
    Store* store = static_cast<Store*>(cert->context.hCertStore);
    delete cert;
    Release(store);
    return 1;
}

BOOL CertCloseStore(HCERTSTORE handle, DWORD flags) {
    auto* store = static_cast<Store*>(handle);
    if (store == nullptr || store->closed) return 1;
    store->closed = true;
    bool pending = store->references > 1;
    Release(store);
    if (pending && (flags & CERT_CLOSE_STORE_CHECK_FLAG) != 0) {
        // The store stays until its last certificate is freed, as on Windows.
        SetLastError(CRYPT_E_PENDING_CLOSE);
        return 0;
    }
    return 1;
}

}  // namespace qm
