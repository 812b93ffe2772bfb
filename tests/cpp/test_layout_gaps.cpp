// The layout code: a layout carved over memory and the same layout sized over
// none agree block by block, and in a gap build every non-empty block is
// followed by a gap that the sizes count and that AddressSanitizer guards.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "_common/layout.h"

namespace {

using trova::layout::Carver;
using trova::layout::kGap;

// One layout of a few blocks, an empty one among them.
struct Blocks {
    f64 *a, *b, *none, *c;
};
Blocks carve(Carver& c) { return {c.take(3, 2), c.take(5), c.take(0), c.take(1)}; }

TEST(Layout, CarvedBlocksSitAtTheSizedOffsetsAndGapsFollowNonEmptyBlocks) {
    Carver sized;
    carve(sized);
    // Three non-empty blocks of 6, 5 and 1 elements, each with its gap.
    EXPECT_EQ(sized.offset(), 12 + 3 * kGap);
    std::vector<f64> lane(static_cast<std::size_t>(sized.offset()));
    Carver over(lane.data());
    const Blocks b = carve(over);
    EXPECT_EQ(b.a, lane.data());
    EXPECT_EQ(b.b, lane.data() + 6 + kGap);
    // An empty block takes no room and gets no gap: it marks where the rest begins.
    EXPECT_EQ(b.none, lane.data() + 11 + 2 * kGap);
    EXPECT_EQ(b.c, b.none);
    EXPECT_EQ(over.offset(), sized.offset());
    // Every element of every block is usable.
    for (f64* p : {b.a, b.b}) p[0] = 1.0;
    for (i64 j = 0; j < 6; ++j) b.a[j] = 2.0;
    for (i64 j = 0; j < 5; ++j) b.b[j] = 3.0;
    b.c[0] = 4.0;
    EXPECT_EQ(lane[5], 2.0);
    EXPECT_EQ(lane[static_cast<std::size_t>(6 + kGap + 4)], 3.0);
}

TEST(Layout, ALaterLayoutOverTheSameMemoryCanUseAnEarlierOnesGaps) {
    std::vector<f64> lane(64);
    Carver first(lane.data());
    carve(first);
    // One block over the whole lane: the earlier gaps are inside it now.
    Carver second(lane.data());
    f64* all = second.take(64 - kGap);
    for (i64 j = 0; j < 64 - kGap; ++j) all[j] = static_cast<f64>(j);
    EXPECT_EQ(lane[7], 7.0);
}

TEST(Layout, OverflowingLayoutsAreFlaggedGapsIncluded) {
    Carver c;
    c.take(INT64_MAX - kGap);
    EXPECT_FALSE(c.overflowed());
    c.take(1);
    EXPECT_TRUE(c.overflowed());
    EXPECT_EQ(trova::layout::native_count(c.size()), -1);
}

#ifdef TROVA_LAYOUT_POISON
// Writes one element past a block carved over a heap lane: it lands in the
// block's gap, which the sanitizer reports although the lane goes on.
TEST(LayoutGapsDeathTest, OneElementPastACarvedBlockIsCaught) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::vector<f64> lane(64);
    Carver c(lane.data());
    f64* a = c.take(3, 2);
    f64* b = c.take(5);
    a[5] = 1.0;
    b[4] = 1.0;
    volatile f64* past_a = a + 6;
    volatile f64* past_b = b + 5;
    EXPECT_DEATH(*past_a = 1.0, "use-after-poison");
    EXPECT_DEATH(*past_b = 1.0, "use-after-poison");
    // Reads are caught too, and so is the last element of the gap.
    volatile f64* end_of_gap = a + 6 + kGap - 1;
    EXPECT_DEATH((void)*end_of_gap, "use-after-poison");
}

// A layout carved over a buffer too short for it leaves the sanitizer's own
// guard past the buffer in place, however often it is carved.
TEST(LayoutGapsDeathTest, ABlockPastItsBufferStaysAHeapOverflow) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::vector<f64> lane(8);
    for (int pass = 0; pass < 2; ++pass) {
        Carver c(lane.data());
        c.take(3);
        c.take(2);  // runs past the 8 elements
        c.take(4);
    }
    Carver whole(lane.data());
    volatile f64* past = whole.take(12) + 8;
    EXPECT_DEATH(*past = 1.0, "heap-buffer-overflow");
}
#endif

}  // namespace
