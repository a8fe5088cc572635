// Fuzz entry for the PE header parser: any bytes, as a whole file and as the
// head of a longer one, must give a code and a layout whose offsets stay
// inside the file, and must never read outside the buffer.
#include <cstddef>
#include <cstdint>

#include "authenticode/pe/pe_layout.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

void CheckLayout(const uint8_t* data, size_t size, uint64_t file_size) {
    authenticode::PeLayout layout;
    int32_t hr = authenticode::ParsePeLayout(data, size, file_size, &layout);
    if (hr == authenticode::kPeNeedMoreHeader) {
        Check(layout.head_needed > size && layout.head_needed <= file_size);
        Check(layout.head_needed <= authenticode::kPeMaxHeaderBytes);
        return;
    }
    if (hr != 0) {
        Check(hr < 0);
        return;
    }
    Check(layout.headers_end <= size && layout.headers_end <= file_size);
    Check(layout.checksum_offset + 4 <= layout.headers_end);
    Check(layout.cert_entry_offset + 8 <= layout.headers_end);
    Check(layout.content_end <= file_size);
    if (layout.cert_table_size != 0) {
        Check(layout.cert_table_offset >= layout.headers_end);
        Check(uint64_t{layout.cert_table_offset} + layout.cert_table_size == file_size);
        if (file_size == size) {
            size_t der_offset = 0, der_size = 0;
            if (authenticode::FindPkcs7InTable(data + layout.cert_table_offset, layout.cert_table_size,
                                               &der_offset, &der_size)) {
                Check(der_offset + der_size <= layout.cert_table_size);
            }
        }
    }
    authenticode::PeTablePlan plan;
    if (authenticode::PlanCertificateTable(layout.content_end, 1000, &plan) == 0) {
        Check(plan.padded_content_end % 8 == 0 && plan.padded_content_end >= layout.content_end);
        Check(plan.new_file_size <= authenticode::kPeMaxFileSize);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckLayout(data, size, size);
    // The same bytes as the head of a larger file, and a head cut short.
    CheckLayout(data, size, uint64_t{size} + 4096);
    CheckLayout(data, size / 2, size);
    // The table walker on its own, over arbitrary bytes.
    size_t der_offset = 0, der_size = 0;
    if (authenticode::FindPkcs7InTable(data, size, &der_offset, &der_size)) {
        Check(der_offset + der_size <= size);
    }
    return 0;
}
