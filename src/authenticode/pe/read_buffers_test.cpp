// Read buffers come back for the next file, never smaller than asked for,
// and the pool stops keeping them past its bound.
#include "authenticode/pe/read_buffers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace authenticode::pe {
namespace {

TEST(ReadBuffers, KeptBuffersAreReusedAndLargeEnough) {
    uint8_t* first = nullptr;
    {
        ReadBuffer buffer = TakeReadBuffer(1u << 20, 4096);
        ASSERT_TRUE(buffer);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.get()) % 4096, 0u);
        std::memset(buffer.get(), 0xA5, 1u << 20);  // the whole capacity is writable
        first = buffer.get();
    }
    {
        ReadBuffer again = TakeReadBuffer(1u << 20, 4096);
        EXPECT_EQ(again.get(), first);
        ReadBuffer larger = TakeReadBuffer(2u << 20, 4096);  // the kept one is too small
        ASSERT_TRUE(larger);
        EXPECT_NE(larger.get(), first);
        std::memset(larger.get(), 0x5A, 2u << 20);
    }
    // More than the pool keeps: all are handed out and given back safely.
    std::vector<ReadBuffer> many;
    for (int i = 0; i < 12; ++i) {
        many.push_back(TakeReadBuffer(2u << 20, 4096));
        ASSERT_TRUE(many.back());
    }
    many.clear();
    EXPECT_FALSE(TakeReadBuffer(4096, 3));
    EXPECT_FALSE(TakeReadBuffer(4096, 8192));
}

}  // namespace
}  // namespace authenticode::pe
