// The PE image checksum (the optional header's CheckSum field), computed as
// the file streams past and then corrected for the header fields that are
// patched afterwards, so the file never has to be read twice.
#pragma once

#include <cstddef>
#include <cstdint>

namespace authenticode {

// Running state: the file's 16-bit little-endian words summed modulo 0xFFFF
// (the one's-complement sum the checksum folds to). Chunks are fed in file
// order and may have any size.
struct PeChecksum {
    uint64_t sum = 0;        // reduced modulo 0xFFFF between chunks
    uint64_t position = 0;   // bytes fed so far
    bool nonzero = false;    // any non-zero byte seen (tells 0 from 0xFFFF)
};

void AddToChecksum(PeChecksum* state, const uint8_t* data, size_t size);

// Replaces the bytes `old_bytes` at file offset `offset` by `new_bytes` in
// the sum (`size` bytes each), as if the new ones had streamed past.
void PatchChecksum(PeChecksum* state, uint64_t offset, const uint8_t* old_bytes,
                   const uint8_t* new_bytes, size_t size);

// The CheckSum value for a file of `file_size` bytes whose words (with the
// CheckSum field itself counted as zero) were summed into `state`.
uint32_t FinishChecksum(const PeChecksum& state, uint64_t file_size);

}  // namespace authenticode
