#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/parallel.h"
#include "kernels/kernels.h"
#include "ops/frame.h"
#include "ref.h"

namespace {

TEST(Frame, SplitTable)
{
    struct {
        int64_t n;
        int threads;
        std::vector<std::pair<int64_t, int64_t>> shares;  // (begin, count) per thread
    } rows[] = {
        {10, 4, {{0, 3}, {3, 3}, {6, 2}, {8, 2}}},
        {3, 4, {{0, 1}, {1, 1}, {2, 1}, {0, 0}}},
        {0, 4, {{0, 0}, {0, 0}, {0, 0}, {0, 0}}},
        {8, 3, {{0, 3}, {3, 3}, {6, 2}}},
    };
    for (const auto& r : rows)
        for (int t = 0; t < r.threads; ++t) {
            nn_row_range s = nn_static_split(r.n, t, r.threads);
            EXPECT_EQ(s.count, r.shares[t].second) << r.n << "/" << r.threads << " t" << t;
            if (s.count) {
                EXPECT_EQ(s.begin, r.shares[t].first) << r.n << "/" << r.threads << " t" << t;
            }
        }
}

TEST(Frame, GemmPanelWidths)
{
    EXPECT_EQ(gemm_panel_widths(nullptr), 4);
    const int* w = nullptr;
    EXPECT_EQ(gemm_panel_widths(&w), 4);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w[0], 16);
    EXPECT_EQ(w[1], 8);
    EXPECT_EQ(w[2], 4);
    EXPECT_EQ(w[3], 0);
}

TEST(Frame, ApplyActivationCodes)
{
    std::vector<float> in;
    for (int i = 0; i < 53; ++i)
        in.push_back((float)(i - 26) * 0.37f);
    in.push_back(NAN);
    const uint32_t n = (uint32_t)in.size();

    // 0 and unknown codes write nothing, also out of place
    for (int code : {0, 6, 7, -1}) {
        std::vector<float> out(n, 42.0f);
        apply_activation(out.data(), n, in.data(), code);
        for (float v : out)
            EXPECT_EQ(v, 42.0f) << code;
        std::vector<float> same = in;
        apply_activation(same.data(), n, same.data(), code);
        EXPECT_TRUE(ref::same_bits(same.data(), in.data(), n * 4)) << code;
    }

    auto expect = [](int code, float x) -> float {
        switch (code) {
        case 1: return std::isnan(x) ? x : (x > 0 ? x : 0.0f);
        case 2: return std::isnan(x) ? x : std::min(std::max(x, 0.0f), 6.0f);
        case 3: return 1.0f / (std::exp(-x) + 1.0f);
        case 4: return 1.0f / (std::fabs(x) + 1.0f);
        default: return std::tanh(x);
        }
    };
    for (int code = 1; code <= 5; ++code) {
        std::vector<float> out(n), inplace = in;
        apply_activation(out.data(), n, in.data(), code);
        apply_activation(inplace.data(), n, inplace.data(), code);
        for (uint32_t i = 0; i < n; ++i) {
            float want = expect(code, in[i]);
            if (std::isnan(want)) {
                EXPECT_TRUE(std::isnan(out[i])) << code << " " << i;
            } else {
                EXPECT_FLOAT_EQ(out[i], want) << code << " " << i;
            }
            EXPECT_TRUE(ref::same_bits(&out[i], &inplace[i], 4)) << code << " " << i;
        }
    }
    // count 0 writes nothing
    float one = -1.0f;
    apply_activation(&one, 0, &one, 1);
    EXPECT_EQ(one, -1.0f);
}

}  // namespace
