// The one read pass over a PE file: it hashes the signed content, sums the
// checksum and writes the copy, with bounded memory whatever the file size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "authenticode/pe/pe_checksum.h"
#include "authenticode/pe/pe_layout.h"

namespace authenticode {

struct PeStreamOptions {
    size_t chunk_size = 2u << 20;  // bytes per read; rounded down to a multiple of 8
    size_t chunk_count = 4;        // buffers in flight between reader and hasher
    bool hash_thread = true;       // hash on a second thread while copying
};

// Reads [0, layout.content_end) of `in_fd`; writes it to `out_fd` (-1: write
// nothing) followed by the zero padding to a multiple of 8. `digest` gets the
// SHA-256 of the same bytes without the CheckSum field and the certificate
// directory entry; `checksum` the word sum of everything written.
// Returns 0 or the HRESULT of the first failure.
int32_t StreamPeContent(int in_fd, int out_fd, const PeLayout& layout,
                        const PeStreamOptions& options, uint8_t digest[32],
                        PeChecksum* checksum);

}  // namespace authenticode
