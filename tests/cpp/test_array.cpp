#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "core/array.hpp"

namespace {

TEST(Extent, SizeIsSixtyFourBit) {
    const px::extent big{65536, 65536, 2, 1, 1};
    EXPECT_EQ(big.size(), std::int64_t{1} << 33);
}

TEST(Extent, ToStrSharesOneBuffer) {
    const px::extent a{4, 3, 1, 1, 1};
    const px::extent b{6, 5, 4, 3, 2};
    const char* first = a.to_str();
    EXPECT_STREQ(first, "4 x 3 x 1 x 1 x 1");
    const char* second = b.to_str();
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "6 x 5 x 4 x 3 x 2");
}

TEST(Array, LinearIndexRunsXFastest) {
    float samples[12];
    for (int i = 0; i < 12; ++i) samples[i] = static_cast<float>(i);
    const px::array image(px::extent{4, 3, 1, 1, 1}, samples);
    EXPECT_EQ(image.index(1, 2, 0, 0, 0), 9);
    EXPECT_EQ(image.at(1, 2, 0, 0, 0), 9.0f);

    const px::array five(px::extent{6, 5, 4, 3, 2}, 0.0f);
    EXPECT_EQ(five.index(0, 0, 0, 1, 0), 120);
    EXPECT_EQ(five.index(0, 0, 0, 0, 1), 360);
}

TEST(Array, NoSamplesMeansAllZeroDims) {
    const px::array zero_axis(px::extent{5, 0, 1, 1, 1}, 1.0f);
    EXPECT_TRUE(zero_axis.values.empty());
    EXPECT_EQ(zero_axis.dims.size(), 0);
    EXPECT_STREQ(zero_axis.dims.to_str(), "0 x 0 x 0 x 0 x 0");

    const px::array null_source(px::extent{2, 2, 1, 1, 1}, nullptr);
    EXPECT_TRUE(null_source.values.empty());
    EXPECT_EQ(null_source.dims.x, 0);

    // Two negative axes multiply to a positive size but still hold nothing.
    const px::array negative(px::extent{-1, -1, 1, 1, 1}, 1.0f);
    EXPECT_TRUE(negative.values.empty());
    EXPECT_EQ(negative.dims.x, 0);
}

TEST(Array, AssigningEmptyClearsTarget) {
    px::array target(px::extent{10, 10, 1, 1, 1}, 2.0f);
    target = px::array();
    EXPECT_TRUE(target.values.empty());
    EXPECT_EQ(target.values.capacity(), 0u);
    EXPECT_EQ(target.dims.x, 0);
    EXPECT_EQ(target.dims.t, 0);
}

TEST(Array, CopyIsDeepAndSwapMovesBuffers) {
    px::array a(px::extent{3, 1, 1, 1, 1}, 1.0f);
    px::array b(a);
    b.values[0] = 7.0f;
    EXPECT_EQ(a.values[0], 1.0f);

    px::array c(px::extent{2, 2, 1, 1, 1}, 5.0f);
    const float* a_buffer = a.values.data();
    const float* c_buffer = c.values.data();
    std::swap(a, c);
    EXPECT_EQ(a.values.data(), c_buffer);
    EXPECT_EQ(c.values.data(), a_buffer);
    EXPECT_EQ(a.dims.x, 2);
    EXPECT_EQ(c.dims.x, 3);
}

TEST(Array, PrintShapeWritesToStandardOutput) {
    testing::internal::CaptureStdout();
    print_shape(px::array(px::extent{4, 3, 1, 1, 1}, 0.0f));
    print_shape(px::array());
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "shape: 4 x 3 x 1 x 1 x 1\nshape: 0 x 0 x 0 x 0 x 0\n");
}

}  // namespace
