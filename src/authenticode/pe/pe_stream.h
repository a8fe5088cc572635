// The one read pass over a PE file: it hashes the signed content, sums the
// checksum and writes the copy, with bounded memory whatever the file size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "authenticode/pe/pe_checksum.h"
#include "authenticode/pe/pe_layout.h"

namespace authenticode {

// How the copy's bytes got there.
enum class PeCopyPath {
    kNone,      // no copy was asked for
    kCloned,    // extents shared with the original; only the hash read it
    kDirect,    // written from the read buffers past the page cache
    kBuffered,  // written through the page cache, writeback started as it went
};

// Six chunks of 2 MiB, 12 MiB in all: enough in flight that a stall of the
// reader or the device does not leave the hasher idle, and chunks large
// enough for direct writes (four 2 MiB slots were slower in paired rounds on
// a busy machine, 1 MiB chunks on a quiet one).
struct PeStreamOptions {
    size_t chunk_size = 2u << 20;  // bytes per read; rounded down to a multiple of 8
    size_t chunk_count = 6;        // buffers in flight between the reader and the stages
    bool hash_thread = true;       // hash (and write the copy) on threads of their own
    bool clone = true;             // share the original's extents where the file system can
    bool direct_writes = true;     // write past the page cache where the file system can
    PeCopyPath* path_taken = nullptr;  // where set, told how the copy was made
};

// Reads [0, layout.content_end) of `in_fd`; writes it to `out_fd` (-1: write
// nothing; else an empty file) followed by the zero padding to a multiple of
// 8. `digest` gets the SHA-256 of the same bytes without the CheckSum field
// and the certificate directory entry; `checksum` the word sum of everything
// written. A cloned copy is the original's bytes as they were when cloned;
// the hash then reads the original, and a change in between shows in its
// modification time, which the replacement checks before the rename.
// Returns 0 or the HRESULT of the first failure.
int32_t StreamPeContent(int in_fd, int out_fd, const PeLayout& layout,
                        const PeStreamOptions& options, uint8_t digest[32],
                        PeChecksum* checksum);

}  // namespace authenticode
