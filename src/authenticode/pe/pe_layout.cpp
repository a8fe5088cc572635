// Reading of the PE headers for signing. Every offset is computed in 64 bits
// and checked against both the bytes we were given and the file size before
// it is read, so a hostile header can neither read out of bounds nor wrap.
#include "authenticode/pe/pe_layout.h"

#include "authenticode/little_endian.h"
#include "authenticode/pe/pe_hresult.h"

namespace authenticode {
namespace {

using namespace pe;

constexpr uint16_t kMagicPe32 = 0x10b;
constexpr uint16_t kMagicPe32Plus = 0x20b;
constexpr uint64_t kDosHeaderSize = 64;
constexpr uint64_t kFileHeaderEnd = 24;      // "PE\0\0" + IMAGE_FILE_HEADER
constexpr uint64_t kChecksumInOptional = 64;
constexpr uint64_t kSectionHeaderSize = 40;
constexpr uint32_t kCertDirectoryIndex = 4;
constexpr uint16_t kCertTypePkcs7 = 0x0002;

// The headers must reach `end`: past the file it is a broken PE; past what we
// hold (but inside the file and the header limit) the caller must read more.
int32_t Require(uint64_t end, size_t head_size, uint64_t file_size, PeLayout* out) {
    if (end > file_size) return kBadExeFormat;
    if (end > head_size) {
        if (end > kPeMaxHeaderBytes) return kBadExeFormat;
        out->head_needed = end;
        return kPeNeedMoreHeader;
    }
    return kOk;
}

// Refuses a signed file whose section data runs into its certificate table:
// dropping the table would cut the image.
bool SectionsEndBefore(const uint8_t* head, uint64_t section_table, uint16_t count, uint64_t limit) {
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* s = head + section_table + i * kSectionHeaderSize;
        uint64_t raw_size = Le32(s + 16);
        uint64_t raw_pointer = Le32(s + 20);
        if (raw_size != 0 && raw_pointer + raw_size > limit) return false;
    }
    return true;
}

int32_t ParseCertificateDirectory(const uint8_t* head, PeLayout* out) {
    uint32_t offset = Le32(head + out->cert_entry_offset);
    uint32_t size = Le32(head + out->cert_entry_offset + 4);
    if (size == 0) {  // no table (an offset without a size names nothing)
        out->content_end = out->file_size;
        return kOk;
    }
    uint64_t end = static_cast<uint64_t>(offset) + size;
    if (offset < out->headers_end || end > out->file_size) return kBadExeFormat;
    if (end != out->file_size) return kBadExeFormat;  // data after the table
    if (!SectionsEndBefore(head, out->headers_end - out->section_count * kSectionHeaderSize,
                           out->section_count, offset)) {
        return kBadExeFormat;
    }
    out->cert_table_offset = offset;
    out->cert_table_size = size;
    out->content_end = offset;
    return kOk;
}

}  // namespace

int32_t ParsePeLayout(const uint8_t* head, size_t head_size, uint64_t file_size, PeLayout* out) {
    *out = PeLayout{};
    out->file_size = file_size;
    if (head_size > file_size) head_size = static_cast<size_t>(file_size);
    if (head == nullptr || head_size < 2 || head[0] != 'M' || head[1] != 'Z') {
        return kSubjectFormUnknown;
    }
    int32_t hr = Require(kDosHeaderSize, head_size, file_size, out);
    if (hr != kOk) return hr;

    uint64_t pe = Le32(head + 0x3C);
    hr = Require(pe + kFileHeaderEnd, head_size, file_size, out);  // e_lfanew out of range
    if (hr != kOk) return hr;
    if (head[pe] != 'P' || head[pe + 1] != 'E' || head[pe + 2] != 0 || head[pe + 3] != 0) {
        return kSubjectFormUnknown;  // a DOS, NE or LE program, not a PE image
    }
    if (file_size > kPeMaxFileSize) return kFileTooLarge;

    out->pe_offset = static_cast<uint32_t>(pe);
    out->machine = Le16(head + pe + 4);
    out->section_count = Le16(head + pe + 6);
    uint64_t optional_size = Le16(head + pe + 20);
    uint64_t optional = pe + kFileHeaderEnd;

    hr = Require(optional + 2, head_size, file_size, out);
    if (hr != kOk) return hr;
    if (optional_size < 2) return kBadExeFormat;
    uint16_t magic = Le16(head + optional);
    uint64_t directories;  // offset of the data directories in the optional header
    if (magic == kMagicPe32) {
        directories = 96;
    } else if (magic == kMagicPe32Plus) {
        directories = 112;
        out->pe32_plus = true;
    } else {
        return kBadExeFormat;
    }
    uint64_t cert_entry_end = directories + (kCertDirectoryIndex + 1) * 8;
    if (optional_size < cert_entry_end) return kBadExeFormat;  // fewer than 5 directories

    uint64_t section_table = optional + optional_size;
    out->headers_end = section_table + out->section_count * kSectionHeaderSize;
    hr = Require(out->headers_end, head_size, file_size, out);
    if (hr != kOk) return hr;

    uint32_t directory_count = Le32(head + optional + directories - 4);
    if (directory_count <= kCertDirectoryIndex) return kBadExeFormat;

    out->checksum_offset = optional + kChecksumInOptional;
    out->cert_entry_offset = optional + directories + kCertDirectoryIndex * 8;
    return ParseCertificateDirectory(head, out);
}

int32_t PlanCertificateTable(uint64_t content_end, uint64_t signature_size, PeTablePlan* out) {
    *out = PeTablePlan{};
    if (signature_size == 0) return kInvalidArg;
    if (content_end > kPeMaxFileSize || signature_size > kPeMaxFileSize) return kFileTooLarge;
    uint64_t table_offset = (content_end + 7) & ~uint64_t{7};
    uint64_t table_size = (8 + signature_size + 7) & ~uint64_t{7};
    if (table_size > kPeMaxFileSize || table_offset + table_size > kPeMaxFileSize) {
        return kFileTooLarge;
    }
    out->padded_content_end = table_offset;
    out->table_size = static_cast<uint32_t>(table_size);
    out->new_file_size = table_offset + table_size;
    return kOk;
}

namespace {

// The length of the DER element at p (tag + length + contents), or 0 when it
// is not a well-formed SEQUENCE that fits in `size`.
size_t DerSequenceLength(const uint8_t* p, size_t size) {
    if (size < 2 || p[0] != 0x30) return 0;
    size_t header = 2;
    uint64_t length = p[1];
    if (length & 0x80) {
        size_t n = length & 0x7F;
        if (n == 0 || n > 4 || size < 2 + n) return 0;
        length = 0;
        for (size_t i = 0; i < n; ++i) length = (length << 8) | p[2 + i];
        header += n;
    }
    if (length > size - header) return 0;
    return static_cast<size_t>(header + length);
}

}  // namespace

bool FindPkcs7InTable(const uint8_t* table, size_t table_size, size_t* der_offset, size_t* der_size) {
    size_t at = 0;
    while (table_size - at >= 8) {
        uint64_t length = Le32(table + at);
        uint16_t type = Le16(table + at + 6);
        if (length < 8 || length > table_size - at) return false;
        if (type == kCertTypePkcs7) {
            size_t der = DerSequenceLength(table + at + 8, static_cast<size_t>(length - 8));
            if (der == 0) return false;
            *der_offset = at + 8;
            *der_size = der;
            return true;
        }
        uint64_t next = (length + 7) & ~uint64_t{7};
        if (next >= table_size - at) return false;
        at += static_cast<size_t>(next);
    }
    return false;
}

}  // namespace authenticode
