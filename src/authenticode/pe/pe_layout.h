// The PE header parser: a pure, bounds-checked reading of the first bytes of
// a file that says whether the engine can sign it and where the fields that
// signing skips, patches and replaces are.
#pragma once

#include <cstddef>
#include <cstdint>

namespace authenticode {

// The format limits: the certificate table offset and size are 32-bit.
constexpr uint64_t kPeMaxFileSize = 0xFFFFFFFFu;
// Headers (through the section table) must lie in the first 8 MiB; the
// largest section table the format allows (65535 entries) is 2.6 MB.
constexpr uint64_t kPeMaxHeaderBytes = 8u << 20;

struct PeLayout {
    bool pe32_plus = false;          // optional header magic 0x20b
    uint16_t machine = 0;
    uint16_t section_count = 0;
    uint32_t pe_offset = 0;          // e_lfanew
    uint64_t checksum_offset = 0;    // the 4-byte CheckSum field
    uint64_t cert_entry_offset = 0;  // the 8-byte data directory 4 entry
    uint64_t headers_end = 0;        // end of the section table
    uint64_t file_size = 0;
    // The existing certificate table; both 0 when the file is unsigned.
    uint32_t cert_table_offset = 0;
    uint32_t cert_table_size = 0;
    // Where the signed content ends: the table offset, or the file size.
    uint64_t content_end = 0;
    // With kPeNeedMoreHeader: how many bytes from offset 0 the parser needs.
    uint64_t head_needed = 0;
};

// ParsePeLayout's result besides an HRESULT.
constexpr int32_t kPeNeedMoreHeader = 1;

// Parses the headers in `head` (the first `head_size` bytes of a file of
// `file_size` bytes). Returns 0 with `out` filled; kPeNeedMoreHeader with
// out->head_needed set when the headers reach past `head` but may lie within
// the file and within kPeMaxHeaderBytes; else the HRESULT for the fault
// (0x800B0003 not a PE, 0x800700C1 broken PE, 0x800700DF too large).
// Never reads outside head[0, head_size).
int32_t ParsePeLayout(const uint8_t* head, size_t head_size, uint64_t file_size, PeLayout* out);

// Where the new certificate table goes and how the file ends, for a
// signature of `signature_size` bytes appended after `content_end`.
struct PeTablePlan {
    uint64_t padded_content_end = 0;  // content_end rounded up to 8: the table offset
    uint32_t table_size = 0;          // WIN_CERTIFICATE header + signature, rounded up to 8
    uint64_t new_file_size = 0;
};

// Returns 0, or 0x800700DF when the result would not fit the format's
// 32-bit offsets, or 0x80070057 for an empty signature.
int32_t PlanCertificateTable(uint64_t content_end, uint64_t signature_size, PeTablePlan* out);

// Finds the PKCS#7 DER inside an existing certificate table (`table` holds
// its first `table_size` bytes): the first WIN_CERTIFICATE of type PKCS#7,
// cut to its DER length. Returns false when there is none that is well formed.
bool FindPkcs7InTable(const uint8_t* table, size_t table_size, size_t* der_offset, size_t* der_size);

}  // namespace authenticode
