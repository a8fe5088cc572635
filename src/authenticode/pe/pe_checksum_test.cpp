// The streamed checksum against the textbook word-by-word loop, over random
// data fed in random chunk sizes, and with fields patched afterwards.
#include "authenticode/pe/pe_checksum.h"

#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace authenticode {
namespace {

// 16-bit little-endian words, carry folded after each add, plus the length.
uint32_t Reference(const std::vector<uint8_t>& data) {
    uint32_t sum = 0;
    for (size_t i = 0; i < data.size(); i += 2) {
        uint32_t word = data[i] | (i + 1 < data.size() ? data[i + 1] << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + static_cast<uint32_t>(data.size());
}

uint32_t Streamed(const std::vector<uint8_t>& data, std::mt19937& random) {
    PeChecksum state;
    size_t at = 0;
    while (at < data.size()) {
        size_t n = std::min<size_t>(data.size() - at, random() % 300 + 1);
        AddToChecksum(&state, data.data() + at, n);
        at += n;
    }
    return FinishChecksum(state, data.size());
}

TEST(PeChecksum, MatchesTheWordLoopForAnySizeAndSplit) {
    std::mt19937 random(7);
    for (size_t size : {0u, 1u, 2u, 3u, 5u, 8u, 63u, 64u, 1000u, 4097u, 100001u}) {
        for (int round = 0; round < 5; ++round) {
            std::vector<uint8_t> data(size);
            for (auto& b : data) b = static_cast<uint8_t>(random());
            SCOPED_TRACE(size);
            EXPECT_EQ(Streamed(data, random), Reference(data));
        }
    }
}

TEST(PeChecksum, FoldsLikeTheWordLoopAtTheWrapAround) {
    std::mt19937 random(1);
    // Sums that are exact multiples of 0xFFFF, and all-ones data.
    std::vector<std::vector<uint8_t>> cases = {
        {0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}, {0xFE, 0xFF, 0x01, 0x00}, std::vector<uint8_t>(70000, 0xFF),
        {0x00, 0x00}, {0x01}};
    for (const auto& data : cases) EXPECT_EQ(Streamed(data, random), Reference(data));
}

TEST(PeChecksum, PatchedFieldsCountAsIfWritten) {
    std::mt19937 random(3);
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> data(random() % 2000 + 16);
        for (auto& b : data) b = static_cast<uint8_t>(random());
        size_t offset = random() % (data.size() - 8);  // odd offsets too
        size_t size = random() % 8 + 1;
        std::vector<uint8_t> patched = data;
        for (size_t i = 0; i < size; ++i) patched[offset + i] = static_cast<uint8_t>(random());

        PeChecksum state;
        AddToChecksum(&state, data.data(), data.size());
        PatchChecksum(&state, offset, &data[offset], &patched[offset], size);
        EXPECT_EQ(FinishChecksum(state, data.size()), Reference(patched));
    }
}

}  // namespace
}  // namespace authenticode
