// Security catalogs behind the format interface: the file is itself a
// SignedData around a certificate trust list. Signing keeps the list byte
// for byte and puts a new signer (and certificates) around it; the old
// signers go.
#include <algorithm>

#include "authenticode/format.h"
#include "authenticode/hresult.h"
#include "authenticode/pe/file_replace.h"
#include "authenticode/pe/pe_io.h"
#include "authenticode/spc.h"

namespace authenticode {
namespace {

constexpr uint64_t kMaxCatalogSize = 256u << 20;

// Reads one tag and length at `p`, without needing the content to be there.
bool ReadHeader(const uint8_t* p, const uint8_t* end, uint8_t* tag, uint64_t* length, size_t* header) {
    if (end - p < 2) return false;
    *tag = p[0];
    uint8_t first = p[1];
    if (first < 0x80) {
        *length = first;
        *header = 2;
        return true;
    }
    size_t count = first & 0x7F;
    if (count == 0 || count > 8 || static_cast<size_t>(end - p) < 2 + count) return false;
    *length = 0;
    for (size_t i = 0; i < count; ++i) *length = (*length << 8) | p[2 + i];
    *header = 2 + count;
    return true;
}

// Steps into a constructed element with `tag` (advancing `p` past its header).
bool Enter(const uint8_t** p, const uint8_t* end, uint8_t tag) {
    uint8_t t;
    uint64_t length;
    size_t header;
    if (!ReadHeader(*p, end, &t, &length, &header) || t != tag) return false;
    *p += header;
    return true;
}

// Steps over a whole element with `tag`, which must be inside [p, end).
bool Skip(const uint8_t** p, const uint8_t* end, uint8_t tag, const uint8_t** content = nullptr,
          size_t* content_size = nullptr) {
    uint8_t t;
    uint64_t length;
    size_t header;
    if (!ReadHeader(*p, end, &t, &length, &header) || t != tag) return false;
    if (length > static_cast<uint64_t>(end - *p) - header) return false;
    if (content != nullptr) *content = *p + header;
    if (content_size != nullptr) *content_size = static_cast<size_t>(length);
    *p += header + length;
    return true;
}

bool IsOid(const uint8_t* content, size_t size, std::string_view dotted) {
    Bytes oid = der::Oid(dotted);
    return oid.size() == size + 2 && std::equal(content, content + size, oid.begin() + 2);
}

// ContentInfo { signedData, [0] SignedData { version, digestAlgorithms,
// { CTL-type, ... } } }: the start of a catalog, read from its first bytes.
bool ClaimsCatalog(const FileHead& head) {
    using namespace der;
    const uint8_t* p = head.data;
    const uint8_t* end = head.data + head.size;
    const uint8_t* oid;
    size_t oid_size;
    if (!Enter(&p, end, kSequence) || !Skip(&p, end, kOid, &oid, &oid_size) ||
        !IsOid(oid, oid_size, oid::kSignedData)) {
        return false;
    }
    if (!Enter(&p, end, ContextConstructed(0)) || !Enter(&p, end, kSequence) || !Skip(&p, end, kInteger) ||
        !Skip(&p, end, kSet) || !Enter(&p, end, kSequence) || !Skip(&p, end, kOid, &oid, &oid_size)) {
        return false;
    }
    return IsOid(oid, oid_size, oid::kCertificateTrustList);
}

struct Catalog {
    Bytes encap;   // encapContentInfo as stored
    Bytes list;    // the CTL SEQUENCE as stored
    bool has_signers = false;
};

bool ParseCatalog(const Bytes& file, Catalog* out) {
    using namespace der;
    Element info, explicit0, signed_data, e, encap, type, wrapper, list, signer_infos;
    if (!ParseWhole(file.data(), file.size(), &info) || info.tag != kSequence) return false;
    Reader top(info);
    if (!top.Expect(kOid, &e) || e.Encoded() != Oid(oid::kSignedData)) return false;
    if (!top.Expect(ContextConstructed(0), &explicit0) || !top.AtEnd()) return false;
    Reader w(explicit0);
    if (!w.Expect(kSequence, &signed_data) || !w.AtEnd()) return false;
    Reader fields(signed_data);
    if (!fields.Expect(kInteger, &e) || !fields.Expect(kSet, &e) || !fields.Expect(kSequence, &encap)) return false;
    Reader content(encap);
    if (!content.Expect(kOid, &type) || type.Encoded() != Oid(oid::kCertificateTrustList)) return false;
    if (!content.Expect(ContextConstructed(0), &wrapper) || !content.AtEnd()) return false;
    Reader inner(wrapper);
    if (!inner.Expect(kSequence, &list) || !inner.AtEnd()) return false;
    // [0] certificates and [1] crls may come before the signerInfos SET.
    bool found = false;
    while (fields.Next(&e)) {
        if (e.tag == kSet) {
            signer_infos = e;
            found = true;
        } else if (found || (e.tag != ContextConstructed(0) && e.tag != ContextConstructed(1))) {
            return false;
        }
    }
    if (!found || !fields.AtEnd()) return false;
    out->encap = encap.Encoded();
    out->list = list.Encoded();
    out->has_signers = signer_infos.content_size != 0;
    return true;
}

int32_t RewriteCatalog(const std::string& path, ContentSigner signer, void* context) {
    pe::SourceFile source;
    int32_t hr = pe::OpenFileToReplace(path, &source);
    if (hr != kOk) return hr;
    Bytes file;
    hr = pe::ReadWholeFile(source, kMaxCatalogSize, &file);
    if (hr != kOk) return hr;
    Catalog catalog;
    if (!ParseCatalog(file, &catalog)) return kBadMessage;

    SignedContent content{oid::kCertificateTrustList, catalog.list};
    Bytes signature;
    hr = signer(content, catalog.has_signers ? file : Bytes{}, &signature, context);
    if (hr != kOk) return hr;
    // The list must come out exactly as it went in.
    if (std::search(signature.begin(), signature.end(), catalog.encap.begin(), catalog.encap.end()) ==
        signature.end()) {
        return kBadMessage;
    }
    pe::TempFile temp;
    hr = temp.Create(source.target);
    if (hr != kOk) return hr;
    hr = pe::WriteAt(temp.fd(), 0, signature.data(), signature.size());
    if (hr != kOk) return hr;
    return temp.CommitOver(source);
}

}  // namespace

const Format kCatalogFormat = {"security catalog", ClaimsCatalog, RewriteCatalog};

}  // namespace authenticode
