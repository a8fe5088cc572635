// The PE checksum is a one's-complement sum of 16-bit words plus the file
// length. One's-complement addition is addition modulo 0xFFFF, and since
// 65536 = 1 (mod 0xFFFF) a little-endian 32-bit word adds the same as its two
// 16-bit halves: so we sum 32-bit words into a 64-bit accumulator (which the
// compiler vectorises) and reduce once per chunk.
#include "authenticode/pe/pe_checksum.h"

#include <cstring>

namespace authenticode {
namespace {

constexpr uint64_t kModulus = 0xFFFF;

// A byte's weight in the sum: low or high half of its 16-bit word.
uint64_t ByteWeight(uint64_t offset, uint8_t byte) {
    return (offset & 1) ? static_cast<uint64_t>(byte) << 8 : byte;
}

uint64_t SumWords32(const uint8_t* data, size_t count) {
    uint64_t a = 0, b = 0, c = 0, d = 0;
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        uint32_t w[4];
        std::memcpy(w, data + i * 4, sizeof w);
        a += w[0];
        b += w[1];
        c += w[2];
        d += w[3];
    }
    for (; i < count; ++i) {
        uint32_t w;
        std::memcpy(&w, data + i * 4, sizeof w);
        a += w;
    }
    // Each lane stays below 2^62 for any chunk under 4 GiB: reduce before adding.
    return a % kModulus + b % kModulus + c % kModulus + d % kModulus;
}

}  // namespace

void AddToChecksum(PeChecksum* state, const uint8_t* data, size_t size) {
    if (!state->nonzero) {
        for (size_t i = 0; i < size && !state->nonzero; ++i) state->nonzero = data[i] != 0;
    }
    uint64_t sum = state->sum;
    if ((state->position & 1) && size > 0) {  // finish the word a previous chunk began
        sum += ByteWeight(state->position, data[0]);
        ++state->position;
        ++data;
        --size;
    }
    // From an even offset the 32-bit words line up with the file's 16-bit words
    // (modulo 0xFFFF a shift by 2 bytes does not matter).
    size_t words = size / 4;
    sum += SumWords32(data, words);
    for (size_t i = words * 4; i < size; ++i) sum += ByteWeight(state->position + i, data[i]);
    state->sum = sum % kModulus;
    state->position += size;
}

void PatchChecksum(PeChecksum* state, uint64_t offset, const uint8_t* old_bytes,
                   const uint8_t* new_bytes, size_t size) {
    uint64_t sum = state->sum % kModulus;
    for (size_t i = 0; i < size; ++i) {
        sum += kModulus - ByteWeight(offset + i, old_bytes[i]) % kModulus;
        sum += ByteWeight(offset + i, new_bytes[i]);
        if (new_bytes[i] != 0) state->nonzero = true;
    }
    state->sum = sum % kModulus;
}

uint32_t FinishChecksum(const PeChecksum& state, uint64_t file_size) {
    // The word-by-word fold yields 0xFFFF, never 0, for a non-zero multiple of 0xFFFF.
    uint64_t folded = state.sum % kModulus;
    if (folded == 0 && state.nonzero) folded = kModulus;
    return static_cast<uint32_t>(folded + file_size);
}

}  // namespace authenticode
