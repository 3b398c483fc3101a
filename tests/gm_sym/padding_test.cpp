// The padding helpers and the algorithm identifier map of the device API.
#include <gtest/gtest.h>

#include <vector>

#include "gm_api.h"

namespace {

TEST(SymPadding, PadLengthIsAWholeBlockForAMultiple) {
    EXPECT_EQ(pad_length(16, 0), 16u);
    EXPECT_EQ(pad_length(16, 15), 1u);
    EXPECT_EQ(pad_length(16, 16), 16u);
    EXPECT_EQ(pad_length(8, 13), 3u);
}

TEST(SymPadding, StripPaddingChecksEveryPaddingByte) {
    struct strip_case {
        std::vector<uint8_t> tail; // the last bytes of a 16-byte block, the rest 0xAA
        int result;
        uint32_t length;
    };
    const strip_case cases[] = {
        {{0x01}, 0, 15},
        {{0x03, 0x03, 0x03}, 0, 13},
        {std::vector<uint8_t>(16, 0x10), 0, 0},
        {{0x11}, 2, 0},             // larger than the block
        {{0x00}, 2, 0},             // no padding at all
        {{0x02, 0x03, 0x03}, 2, 0}, // 3 claimed, only 2 present
    };
    for (const strip_case& c : cases) {
        std::vector<uint8_t> block(16, 0xAA);
        std::copy(c.tail.begin(), c.tail.end(),
                  block.end() - static_cast<std::ptrdiff_t>(c.tail.size()));
        uint32_t out = 99;
        EXPECT_EQ(strip_padding(16, block.data(), 16, &out), c.result) << int(c.tail.back());
        if (c.result == 0) {
            EXPECT_EQ(out, c.length);
        }
    }
    const std::vector<uint8_t> odd(15, 1);
    uint32_t out = 0;
    EXPECT_EQ(strip_padding(16, odd.data(), 15, &out), 1);
    EXPECT_EQ(strip_padding(16, odd.data(), 0, &out), 1);
}

TEST(SymAlgorithms, CallerIdentifiersMapToTheCardsOwn) {
    struct map_case {
        uint32_t caller, internal, key, block;
    };
    const map_case cases[] = {
        {0x401, 0x401, 16, 16},           {0x4001, 0x80000111, 16, 16},
        {0x8002, 0x80000122, 24, 16},     {0x10001, 0x80000141, 32, 16},
        {1, 0x80000241, 24, 8},           {0x2002, 0x80000242, 24, 8},
        {0x1001, 0x80000221, 16, 8},      {0x802, 0x80000212, 8, 8},
        {0x80000142, 0x80000142, 32, 16}, {0x210, 0x210, 16, 16},
    };
    for (const map_case& c : cases) {
        const gm_symm_algorithm* a = gm_symm_algorithm_for(c.caller);
        ASSERT_NE(a, nullptr) << std::hex << c.caller;
        EXPECT_EQ(a->id, c.internal);
        EXPECT_EQ(a->key_length, c.key);
        EXPECT_EQ(a->block_length, c.block);
    }
    for (uint32_t refused : {0x403u, 0x0u, 0x4003u, 0x80000311u})
        EXPECT_EQ(gm_symm_algorithm_for(refused), nullptr) << std::hex << refused;
}

TEST(SymDigest, LengthsByHashIdentifier) {
    EXPECT_EQ(gm_digest_length(1), 32u);
    EXPECT_EQ(gm_digest_length(2), 20u);
    EXPECT_EQ(gm_digest_length(3), 32u);
    EXPECT_EQ(gm_digest_length(4), 32u);
    EXPECT_EQ(gm_digest_length(0x81), 16u);
    EXPECT_EQ(gm_digest_length(0x82), 48u);
    EXPECT_EQ(gm_digest_length(0x83), 64u);
    EXPECT_EQ(gm_digest_length(0x80), 0u);
}

} // namespace
