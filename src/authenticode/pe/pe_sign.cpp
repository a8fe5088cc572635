// Signing a PE file in place: the headers are checked, the signed copy is
// streamed and completed, and the file replacement puts it over the original.
#include "authenticode/pe/pe_sign.h"

#include <cstring>
#include <new>

#include "authenticode/little_endian.h"
#include "authenticode/pe/file_replace.h"
#include "authenticode/pe/pe_checksum.h"
#include "authenticode/pe/pe_hresult.h"
#include "authenticode/pe/pe_io.h"
#include "authenticode/pe/pe_stream.h"

namespace authenticode {
namespace {

using namespace pe;

// What we read of an existing certificate table to hand its signature on.
constexpr uint64_t kMaxExistingTable = 32u << 20;
constexpr size_t kFirstHeadRead = 64u << 10;

struct Source {
    SourceFile file;
    PeLayout layout;
    std::vector<uint8_t> head;  // the header bytes, through the section table
};

int32_t ReadLayout(Source* source) {
    uint64_t file_size = static_cast<uint64_t>(source->file.st.st_size);
    uint64_t want = file_size < kFirstHeadRead ? file_size : kFirstHeadRead;
    for (;;) {
        source->head.resize(static_cast<size_t>(want));
        int32_t hr = ReadAt(source->file.fd.get(), 0, source->head.data(), source->head.size());
        if (hr != kOk) return hr;
        hr = ParsePeLayout(source->head.data(), source->head.size(), file_size, &source->layout);
        if (hr != kPeNeedMoreHeader) return hr;
        if (source->layout.head_needed <= want) return kBadExeFormat;  // cannot happen: no progress
        want = source->layout.head_needed;
    }
}

int32_t ReadExistingSignature(const Source& source, std::vector<uint8_t>* existing) {
    existing->clear();
    const PeLayout& layout = source.layout;
    if (layout.cert_table_size == 0) return kOk;
    uint64_t size = layout.cert_table_size < kMaxExistingTable ? layout.cert_table_size : kMaxExistingTable;
    std::vector<uint8_t> table(static_cast<size_t>(size));
    int32_t hr = ReadAt(source.file.fd.get(), layout.cert_table_offset, table.data(), table.size());
    if (hr != kOk) return hr;
    size_t der_offset = 0, der_size = 0;
    if (FindPkcs7InTable(table.data(), table.size(), &der_offset, &der_size)) {
        existing->assign(table.begin() + static_cast<std::ptrdiff_t>(der_offset),
                         table.begin() + static_cast<std::ptrdiff_t>(der_offset + der_size));
    } else if (layout.cert_table_size > kMaxExistingTable) {
        return kOutOfMemory;  // a signature too large to hand on
    }
    return kOk;
}

int32_t OpenPeFile(const std::string& path, Source* source) {
    int32_t hr = OpenSourceFile(path, &source->file);
    if (hr != kOk) return hr;
    return ReadLayout(source);
}

// Appends the certificate table to the copy and patches the data directory
// entry and the checksum.
int32_t FinishCopy(const Source& source, int out_fd, const std::vector<uint8_t>& signature,
                   PeChecksum* checksum) {
    const PeLayout& layout = source.layout;
    PeTablePlan plan;
    int32_t hr = PlanCertificateTable(layout.content_end, signature.size(), &plan);
    if (hr != kOk) return hr;

    std::vector<uint8_t> table(plan.table_size, 0);
    StoreLe32(table.data(), plan.table_size);
    table[4] = 0x00;  // wRevision 0x0200
    table[5] = 0x02;
    table[6] = 0x02;  // wCertificateType 0x0002: PKCS#7 SignedData
    table[7] = 0x00;
    std::memcpy(table.data() + 8, signature.data(), signature.size());
    hr = WriteAt(out_fd, plan.padded_content_end, table.data(), table.size());
    if (hr != kOk) return hr;
    AddToChecksum(checksum, table.data(), table.size());

    uint8_t entry[8];
    StoreLe32(entry, static_cast<uint32_t>(plan.padded_content_end));
    StoreLe32(entry + 4, plan.table_size);
    const uint8_t* old_entry = source.head.data() + layout.cert_entry_offset;
    const uint8_t* old_checksum = source.head.data() + layout.checksum_offset;
    static const uint8_t kZero[4] = {};
    PatchChecksum(checksum, layout.cert_entry_offset, old_entry, entry, sizeof entry);
    PatchChecksum(checksum, layout.checksum_offset, old_checksum, kZero, sizeof kZero);
    uint8_t sum[4];
    StoreLe32(sum, FinishChecksum(*checksum, plan.new_file_size));

    hr = WriteAt(out_fd, layout.cert_entry_offset, entry, sizeof entry);
    if (hr != kOk) return hr;
    return WriteAt(out_fd, layout.checksum_offset, sum, sizeof sum);
}

int32_t Rewrite(const std::string& path, SignatureMaker maker, void* context, const PeStreamOptions& options) {
    if (maker == nullptr) return kInvalidArg;
    Source source;
    int32_t hr = OpenPeFile(path, &source);
    if (hr != kOk) return hr;
    hr = CheckWritable(source.file);
    if (hr != kOk) return hr;
    PeTablePlan plan;
    hr = PlanCertificateTable(source.layout.content_end, 1, &plan);
    if (hr != kOk) return hr;
    std::vector<uint8_t> existing;
    hr = ReadExistingSignature(source, &existing);
    if (hr != kOk) return hr;

    TempFile temp;
    hr = temp.Create(source.file.target);
    if (hr != kOk) return hr;
    uint8_t digest[32];
    PeChecksum checksum;
    hr = StreamPeContent(source.file.fd.get(), temp.fd(), source.layout, options, digest, &checksum);
    if (hr != kOk) return hr;

    std::vector<uint8_t> signature;
    hr = maker(digest, existing, &signature, context);
    if (hr != kOk) return hr;
    hr = FinishCopy(source, temp.fd(), signature, &checksum);
    if (hr != kOk) return hr;
    return temp.CommitOver(source.file);
}

}  // namespace

int32_t RewritePeSignature(const std::string& path, SignatureMaker maker, void* context) {
    return RewritePeSignature(path, maker, context, PeStreamOptions{});
}

int32_t RewritePeSignature(const std::string& path, SignatureMaker maker, void* context,
                           const PeStreamOptions& options) {
    try {
        return Rewrite(path, maker, context, options);
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (...) {
        return kFail;
    }
}

int32_t ProbePeFile(const std::string& path) {
    try {
        Source source;
        return OpenPeFile(path, &source);
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (...) {
        return kFail;
    }
}

int32_t ComputePeDigest(const std::string& path, uint8_t digest[32]) {
    try {
        Source source;
        int32_t hr = OpenPeFile(path, &source);
        if (hr != kOk) return hr;
        PeChecksum checksum;
        return StreamPeContent(source.file.fd.get(), -1, source.layout, PeStreamOptions{}, digest, &checksum);
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (...) {
        return kFail;
    }
}

}  // namespace authenticode
