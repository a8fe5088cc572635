// Cabinets behind the format interface: an unsigned cabinet gets the
// 20-byte signature reserve (and every offset it shifts), a signed one keeps
// its header; the digest covers the header fields, the folder table and the
// file and data blocks, and the signature goes at the end.
#include <algorithm>
#include <cstring>

#include "authenticode/cab/cab_header.h"
#include "authenticode/format.h"
#include "authenticode/hresult.h"
#include "authenticode/little_endian.h"
#include "authenticode/pe/file_replace.h"
#include "authenticode/pe/pe_io.h"
#include "authenticode/sha256_stream.h"
#include "authenticode/spc.h"

namespace authenticode {
namespace {

using cab::CabLayout;

constexpr uint64_t kMaxExistingSignature = 32u << 20;
constexpr size_t kChunk = 1u << 20;

bool ClaimsCab(const FileHead& head) { return cab::LooksLikeCabinet(head.data, head.size); }

// The header and folder table as the signed cabinet has them.
Bytes SignedHead(const Bytes& head, const CabLayout& layout) {
    if (layout.has_reserve) {
        Bytes out(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(layout.folders_end));
        if (layout.signature_offset == 0) StoreLe32(&out[44], layout.cabinet_size);
        return out;
    }
    Bytes out(layout.folders_end + cab::kInserted, 0);
    std::memcpy(out.data(), head.data(), cab::kFixedHeader);
    StoreLe32(&out[8], layout.cabinet_size + static_cast<uint32_t>(cab::kInserted));
    StoreLe32(&out[16], layout.files_offset + static_cast<uint32_t>(cab::kInserted));
    out[30] = static_cast<uint8_t>(out[30] | cab::kFlagReservePresent);
    out[36] = static_cast<uint8_t>(cab::kSignatureReserve);  // cbCFHeader; cbCFFolder, cbCFData 0
    StoreLe32(&out[40], 0x00100000);
    StoreLe32(&out[44], layout.cabinet_size + static_cast<uint32_t>(cab::kInserted));
    for (size_t i = 0; i < layout.folder_count; ++i) {
        const uint8_t* folder = head.data() + layout.folders_offset + i * cab::kFolderSize;
        uint8_t* moved = out.data() + cab::kFixedHeader + cab::kInserted + i * cab::kFolderSize;
        std::memcpy(moved, folder, cab::kFolderSize);
        StoreLe32(moved, Le32(folder) + static_cast<uint32_t>(cab::kInserted));
    }
    return out;
}

// The hashed parts of the head: "MSCF", cbCabinet through setID, the last
// four bytes of the reserve, then everything from the folder table on.
void HashHead(Sha256Stream* sha, const Bytes& head) {
    sha->Update(head.data(), 4);
    sha->Update(head.data() + 8, 26);
    sha->Update(head.data() + 56, 4);
    sha->Update(head.data() + 60, head.size() - 60);
}

// Copies [from, to) of the original to the copy at `out_at`, hashing it.
int32_t CopyAndHash(int in_fd, uint64_t from, uint64_t to, int out_fd, uint64_t out_at, Sha256Stream* sha) {
    Bytes buffer(static_cast<size_t>(std::min<uint64_t>(kChunk, to - from)));
    while (from < to) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), to - from));
        int32_t hr = pe::ReadAt(in_fd, from, buffer.data(), n);
        if (hr != kOk) return hr;
        sha->Update(buffer.data(), n);
        hr = pe::WriteAt(out_fd, out_at, buffer.data(), n);
        if (hr != kOk) return hr;
        from += n;
        out_at += n;
    }
    return kOk;
}

int32_t ReadExisting(const pe::SourceFile& source, const CabLayout& layout, Bytes* existing) {
    existing->clear();
    if (layout.signature_size == 0) return kOk;
    if (layout.signature_size > kMaxExistingSignature) return kOutOfMemory;
    Bytes raw(layout.signature_size);
    int32_t hr = pe::ReadAt(source.fd.get(), layout.signature_offset, raw.data(), raw.size());
    if (hr != kOk) return hr;
    // The DER is padded with zeros to a multiple of 8.
    der::Reader reader(raw.data(), raw.size());
    der::Element element;
    if (reader.Next(&element)) {
        *existing = element.Encoded();
    } else {
        *existing = raw;  // unreadable: timestamping refuses it, re-signing replaces it
    }
    return kOk;
}

int32_t RewriteCab(const std::string& path, ContentSigner signer, void* context) {
    pe::SourceFile source;
    int32_t hr = pe::OpenFileToReplace(path, &source);
    if (hr != kOk) return hr;
    uint64_t file_size = static_cast<uint64_t>(source.st.st_size);
    Bytes head(static_cast<size_t>(std::min<uint64_t>(file_size, cab::kMaxHeadBytes)));
    hr = pe::ReadAt(source.fd.get(), 0, head.data(), head.size());
    if (hr != kOk) return hr;
    CabLayout layout;
    hr = cab::ParseCabHeader(head.data(), head.size(), file_size, &layout);
    if (hr != kOk) return hr;
    if (!layout.has_reserve && layout.cabinet_size > UINT32_MAX - cab::kInserted - (64u << 20)) return kFileTooLarge;
    Bytes existing;
    hr = ReadExisting(source, layout, &existing);
    if (hr != kOk) return hr;

    Bytes signed_head = SignedHead(head, layout);
    uint32_t cabinet_size = Le32(&signed_head[8]);
    pe::TempFile temp;
    hr = temp.Create(source.target);
    if (hr != kOk) return hr;
    Sha256Stream sha;
    HashHead(&sha, signed_head);
    hr = pe::WriteAt(temp.fd(), 0, signed_head.data(), signed_head.size());
    if (hr != kOk) return hr;
    hr = CopyAndHash(source.fd.get(), layout.files_offset, layout.cabinet_size, temp.fd(), signed_head.size(), &sha);
    if (hr != kOk) return hr;
    uint8_t digest[32];
    if (!sha.Final(digest)) return kFail;

    SignedContent content{oid::kSpcIndirectData, EncodeIndirectData(EncodeCabData(), digest)};
    Bytes signature;
    hr = signer(content, existing, &signature, context);
    if (hr != kOk) return hr;
    uint64_t padded = (uint64_t{signature.size()} + 7) & ~uint64_t{7};
    if (uint64_t{cabinet_size} + padded > UINT32_MAX) return kFileTooLarge;
    signature.resize(static_cast<size_t>(padded), 0);
    hr = pe::WriteAt(temp.fd(), cabinet_size, signature.data(), signature.size());
    if (hr != kOk) return hr;
    uint8_t length[4];
    StoreLe32(length, static_cast<uint32_t>(padded));
    hr = pe::WriteAt(temp.fd(), 48, length, sizeof length);
    if (hr != kOk) return hr;
    return temp.CommitOver(source);
}

}  // namespace

const Format kCabFormat = {"cabinet", ClaimsCab, RewriteCab};

}  // namespace authenticode
