// FLOAT32 GEMM kernels against a double-precision reference: every B layout,
// transposed A, bias or none, every activation code, odd sizes and tails, and
// guard values around C that must stay untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

extern "C" {
#include "kernels/gemm_f32.h"
#include "kernels/gemm_x86.h"
#include "kernels/kernels.h"
#include "ops/frame.h"
}

#include "wide_bodies.h"

namespace {

constexpr int kGuard = 16;
constexpr float kSentinel = -777.25f;

struct Problem {
    int M, N, K;
    std::vector<float> A;     // M×K row-major
    std::vector<float> B;     // K×N row-major
    std::vector<float> bias;  // N
};

Problem make_problem(int M, int N, int K, unsigned seed, float range = 2.0f)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-range, range);
    Problem p{M, N, K, std::vector<float>((size_t)M * K), std::vector<float>((size_t)K * N),
              std::vector<float>(N)};
    for (auto& v : p.A) v = d(rng);
    for (auto& v : p.B) v = d(rng);
    for (auto& v : p.bias) v = d(rng);
    return p;
}

double act_ref(double x, int act)
{
    switch (act) {
    case 1: return x < 0 ? 0 : x;
    case 2: return x < 0 ? 0 : x > 6 ? 6 : x;
    case 3: return 1.0 / (std::exp(-x) + 1.0);
    case 4: return 1.0 / (std::fabs(x) + 1.0);
    case 5: return std::tanh(x);
    default: return x;
    }
}

std::vector<double> reference(const Problem& p, bool with_bias, int act)
{
    std::vector<double> c((size_t)p.M * p.N);
    for (int i = 0; i < p.M; ++i)
        for (int j = 0; j < p.N; ++j) {
            double s = with_bias ? p.bias[j] : 0.0;
            for (int k = 0; k < p.K; ++k)
                s += (double)p.A[(size_t)i * p.K + k] * p.B[(size_t)k * p.N + j];
            c[(size_t)i * p.N + j] = act_ref(s, act);
        }
    return c;
}

// B in the layout the kernel reads: 'N', 'T' (N×K) or column panels of width
// w, the last one narrower when w does not divide N.
std::vector<float> layout_b(const Problem& p, int layout)
{
    std::vector<float> out((size_t)p.K * p.N);
    if (layout == 'N') return p.B;
    if (layout == 'T') {
        for (int k = 0; k < p.K; ++k)
            for (int j = 0; j < p.N; ++j) out[(size_t)j * p.K + k] = p.B[(size_t)k * p.N + j];
        return out;
    }
    size_t o = 0;
    for (int j0 = 0; j0 < p.N; j0 += layout) {
        int w = std::min(layout, p.N - j0);
        for (int k = 0; k < p.K; ++k)
            for (int c = 0; c < w; ++c) out[o++] = p.B[(size_t)k * p.N + j0 + c];
    }
    return out;
}

std::vector<float> transpose_a(const Problem& p)
{
    std::vector<float> t((size_t)p.M * p.K);
    for (int i = 0; i < p.M; ++i)
        for (int k = 0; k < p.K; ++k) t[(size_t)k * p.M + i] = p.A[(size_t)i * p.K + k];
    return t;
}

// C with guard values on both sides; the interior starts as garbage so a path
// that forgot to initialise C shows up.
struct GuardedC {
    std::vector<float> buf;
    int n;
    explicit GuardedC(int count) : buf(count + 2 * kGuard, kSentinel), n(count)
    {
        for (int i = 0; i < count; ++i) buf[kGuard + i] = 12345.0f + (float)i;
    }
    float* data() { return buf.data() + kGuard; }
    bool guards_intact() const
    {
        for (int i = 0; i < kGuard; ++i)
            if (buf[i] != kSentinel || buf[kGuard + n + i] != kSentinel) return false;
        return true;
    }
};

// C within rounding of the double-precision reference, its guards intact.
::testing::AssertionResult check_c(const Problem& p, const GuardedC& c, bool with_bias, int act)
{
    if (!c.guards_intact()) return ::testing::AssertionFailure() << "guard values overwritten";
    std::vector<double> want = reference(p, with_bias, act);
    float ma = 0, mb = 0, mbias = 0;
    for (float v : p.A) ma = std::max(ma, std::fabs(v));
    for (float v : p.B) mb = std::max(mb, std::fabs(v));
    for (float v : p.bias) mbias = std::max(mbias, std::fabs(v));
    const double tol = 1e-5 * (p.K + 1) * (double)ma * mb + 1e-6 * (mbias + 1);
    for (int i = 0; i < p.M; ++i)
        for (int j = 0; j < p.N; ++j) {
            double got = c.buf[kGuard + (size_t)i * p.N + j];
            double w = want[(size_t)i * p.N + j];
            if (!(std::fabs(got - w) <= tol))
                return ::testing::AssertionFailure()
                       << "C[" << i << "," << j << "] = " << got << ", want " << w << " (tol "
                       << tol << ")";
            if (act == 2 && (got < 0 || got > 6))
                return ::testing::AssertionFailure() << "RELU6 value " << got << " outside [0,6]";
        }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult run_and_check(const Problem& p, int layout, bool ta, bool with_bias,
                                         int act)
{
    std::vector<float> b = layout_b(p, layout);
    std::vector<float> a = ta ? transpose_a(p) : p.A;
    GuardedC c(p.M * p.N);
    gemm_f32(c.data(), a.data(), ta ? 'T' : 'N', b.data(), (char)layout,
             with_bias ? p.bias.data() : nullptr, act, p.M, p.N, p.K);
    return check_c(p, c, with_bias, act);
}

#define CHECK_CASE(p, layout, ta, bias, act)                                                  \
    EXPECT_TRUE(run_and_check(p, layout, ta, bias, act))                                      \
        << "M=" << (p).M << " N=" << (p).N << " K=" << (p).K << " layout=" << (layout)        \
        << " transpose_a=" << (ta) << " bias=" << (bias) << " act=" << (act)

TEST(GemmF32, PlainPathOddSizesEveryActivation)
{
    const int Ms[] = {1, 2, 3, 4, 5, 7, 9};
    const int Ns[] = {1, 3, 4, 5, 8, 13, 16, 17, 33};
    const int Ks[] = {1, 2, 7};
    unsigned seed = 1;
    for (int M : Ms)
        for (int N : Ns)
            for (int K : Ks) {
                Problem p = make_problem(M, N, K, seed++);
                for (int act = 0; act <= 5; ++act)
                    for (int bias = 0; bias < 2; ++bias) CHECK_CASE(p, 'N', false, bias, act);
            }
}

// Every width the frame's list names is a packed layout of the kernel.
std::vector<int> panel_widths()
{
    const int* list = nullptr;
    EXPECT_EQ(4, gemm_panel_widths(&list));
    std::vector<int> w;
    for (; list && *list; ++list) w.push_back(*list);
    EXPECT_EQ((std::vector<int>{16, 8, 4}), w);
    return w;
}

TEST(GemmF32, PackedPanelsEveryWidth)
{
    unsigned seed = 100;
    for (int w : panel_widths())
        for (int panels : {2, 3})
            for (int M = 1; M <= 9; ++M)
                for (int K : {1, 2, 3, 4, 5, 6, 9, 17, 32}) {
                    Problem p = make_problem(M, w * panels, K, seed++);
                    for (int act = 0; act <= 5; ++act)
                        for (int bias = 0; bias < 2; ++bias) CHECK_CASE(p, w, false, bias, act);
                }
}

// Width-16 panels: the tiles of several rows take, per accumulator, the same
// fused multiply-adds in the same order as one row alone, so a product of
// M rows equals M products of one row bit for bit (A and C rows apart as
// they are in the whole product).
TEST(GemmF32, SixteenWideRowTilesEqualSingleRowsBitForBit)
{
    unsigned seed = 400;
    for (int M : {4, 5, 8, 9})
        for (int K : {1, 3, 4, 5, 9, 32})
            for (int act = 0; act <= 3; ++act)
                for (int bias = 0; bias < 2; ++bias) {
                    Problem p = make_problem(M, 32, K, seed++);
                    std::vector<float> b = layout_b(p, 16);
                    const float* bp = bias ? p.bias.data() : nullptr;
                    std::vector<float> whole((size_t)M * p.N), rows(whole.size());
                    gemm_f32(whole.data(), p.A.data(), 'N', b.data(), (char)16, bp, act, M, p.N, K);
                    for (int i = 0; i < M; ++i)
                        gemm_f32(rows.data() + (size_t)i * p.N, p.A.data() + (size_t)i * K, 'N',
                                 b.data(), (char)16, bp, act, 1, p.N, K);
                    EXPECT_EQ(0, std::memcmp(whole.data(), rows.data(), whole.size() * sizeof(float)))
                        << "M=" << M << " K=" << K << " act=" << act << " bias=" << bias;
                }
}

// The wide width-16 bodies this CPU can run (whatever KESTRUNE_KERNELS
// says), called directly: tiles of 12, 6, 4, 2 and 1 rows, one, two and
// three panels (a single panel after the pairs of the AVX-512 tile).
TEST(GemmF32, WidePanelBodiesAgainstReference)
{
    const std::vector<gemm_f32_panels16_kernel*> bodies =
        wide_bodies<gemm_f32_panels16_kernel>(WIDE_BODIES(gemm_f32_panels16));
    if (bodies.empty()) GTEST_SKIP() << "no wide body on this CPU";
    unsigned seed = 700;
    for (gemm_f32_panels16_kernel* body : bodies)
        for (int panels : {1, 2, 3})
            for (int M : {1, 2, 3, 5, 7, 11, 12, 13, 25})
                for (int K : {1, 3, 17}) {
                    Problem p = make_problem(M, 16 * panels, K, seed++);
                    std::vector<float> b = layout_b(p, 16);
                    for (int act = 0; act <= 2; ++act)
                        for (int bias = 0; bias < 2; ++bias) {
                            GuardedC c(p.M * p.N);
                            body(c.data(), p.A.data(), b.data(), bias ? p.bias.data() : nullptr,
                                 act, p.M, p.N, p.K);
                            EXPECT_TRUE(check_c(p, c, bias, act))
                                << "M=" << M << " N=" << p.N << " K=" << K << " act=" << act;
                        }
                }
}

// The wide bodies that read their A rows in place (a convolution's output
// pixels straight from its input rows): each segment is one filter row of
// `len` values at base + r * step, so rows overlap when step < len; the B
// rows of a missing segment (a filter row outside the image) are not used.
// Checked against the plain product with the gathered rows, zeros for the
// missing segments.
TEST(GemmF32, WideInPlaceBodiesAgainstReference)
{
    const std::vector<conv_f32_panels16_kernel*> bodies =
        wide_bodies<conv_f32_panels16_kernel>(WIDE_BODIES(conv_f32_panels16));
    if (bodies.empty()) GTEST_SKIP() << "no wide body on this CPU";
    struct Case {
        int len, step;
        std::vector<int> rows; // filter rows inside the image, of 3
    };
    const std::vector<Case> cases = {
        {9, 6, {0, 1, 2}},  // 3x3 taps of 3 channels at stride 2
        {9, 3, {1, 2}},     // stride 1, the top row cut
        {1, 2, {0}},        // one tap, the lower rows cut
        {5, 7, {0, 2}},     // rows apart by more than a run
        {4, 4, {}},         // no row inside: bias and activation alone
    };
    unsigned seed = 900;
    std::mt19937 rng(31);
    std::uniform_real_distribution<float> d(-2.0f, 2.0f);
    for (conv_f32_panels16_kernel* body : bodies)
        for (const Case& cs : cases)
            for (int panels : {1, 2, 3})
                for (int M : {1, 2, 3, 5, 7, 11, 12, 13, 25}) {
                    const int K = 3 * cs.len;
                    Problem p = make_problem(M, 16 * panels, K, seed++);
                    const size_t span = (size_t)(M - 1) * cs.step + cs.len;
                    std::vector<float> source(3 * span + 5);
                    for (float& v : source) v = d(rng);
                    std::vector<const float*> seg;
                    std::vector<int32_t> b_row;
                    std::fill(p.A.begin(), p.A.end(), 0.0f);
                    for (int fr : cs.rows) {
                        const float* base = source.data() + 2 + (size_t)fr * span;
                        seg.push_back(base);
                        b_row.push_back(fr * cs.len);
                        for (int r = 0; r < M; ++r)
                            for (int k = 0; k < cs.len; ++k)
                                p.A[(size_t)r * K + fr * cs.len + k] = base[(size_t)r * cs.step + k];
                    }
                    std::vector<float> b = layout_b(p, 16);
                    for (int act = 0; act <= 2; ++act)
                        for (int bias = 0; bias < 2; ++bias) {
                            GuardedC c(p.M * p.N);
                            body(c.data(), seg.data(), b_row.data(), (int)seg.size(), cs.len,
                                 cs.step, b.data(), bias ? p.bias.data() : nullptr, act, p.M, p.N,
                                 p.K);
                            EXPECT_TRUE(check_c(p, c, bias, act))
                                << "M=" << M << " N=" << p.N << " len=" << cs.len
                                << " step=" << cs.step << " segments=" << seg.size()
                                << " act=" << act;
                        }
                }
}

TEST(GemmF32, TransposedBDotProducts)
{
    unsigned seed = 300;
    for (int K : {1, 3, 4, 15, 16, 17, 21, 37, 64})
        for (int M : {1, 2, 5})
            for (int N : {1, 4, 7}) {
                Problem p = make_problem(M, N, K, seed++);
                for (int act = 0; act <= 5; ++act)
                    for (int bias = 0; bias < 2; ++bias) CHECK_CASE(p, 'T', false, bias, act);
            }
}

// Long rows: B goes in column blocks (some pairs, an odd last column) that
// the cache holds. Each value matches the reference and, bit for bit, a
// one-column call over the same row and column.
TEST(GemmF32, TransposedBColumnBlocks)
{
    unsigned seed = 400;
    for (int K : {4099, 8192})
        for (int N : {21, 31}) {
            Problem p = make_problem(3, N, K, seed++);
            CHECK_CASE(p, 'T', false, true, 1);
            const std::vector<float> bT = layout_b(p, 'T');
            std::vector<float> c((size_t)3 * N);
            gemm_f32(c.data(), p.A.data(), 'N', bT.data(), 'T', p.bias.data(), 0, 3, N, K);
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < N; ++j) {
                    float one = 0;
                    gemm_f32(&one, p.A.data() + (size_t)i * K, 'N', bT.data() + (size_t)j * K, 'T',
                             p.bias.data() + j, 0, 1, 1, K);
                    EXPECT_EQ(one, c[(size_t)i * N + j]) << "K=" << K << " N=" << N << " C[" << i << ","
                                                         << j << "]";
                }
        }
}

TEST(GemmF32, TransposedAOnEveryLayout)
{
    unsigned seed = 500;
    for (int layout : {(int)'N', (int)'T', 16, 8, 4})
        for (int M : {1, 2, 3, 4, 5, 7, 9})
            for (int K : {1, 3, 16, 17}) {
                int N = layout == 'N' || layout == 'T' ? 13 : 2 * layout;
                Problem p = make_problem(M, N, K, seed++);
                for (int act = 0; act <= 5; ++act)
                    for (int bias = 0; bias < 2; ++bias) CHECK_CASE(p, layout, true, bias, act);
            }
}

// A panel width that does not divide N: the last panel is read as K rows of
// its own width and no column at or beyond N is written (the exact-size B
// buffer lets the sanitizer catch an over-read).
TEST(GemmF32, NarrowLastPanelStaysInBounds)
{
    unsigned seed = 700;
    for (int w : {16, 8, 4})
        for (int N : {w + 1, 2 * w + 3, w - 1})
            for (int M : {1, 3, 4}) {
                Problem p = make_problem(M, N, 5, seed++);
                CHECK_CASE(p, w, false, true, 1);
                CHECK_CASE(p, w, true, false, 3);
            }
}

TEST(GemmF32, NullBiasEqualsZeroBias)
{
    for (int layout : {(int)'N', (int)'T', 16, 8, 4})
        for (int ta = 0; ta < 2; ++ta) {
            Problem p = make_problem(5, 32, 9, 900 + layout + ta);
            std::fill(p.bias.begin(), p.bias.end(), 0.0f);
            std::vector<float> b = layout_b(p, layout);
            std::vector<float> a = ta ? transpose_a(p) : p.A;
            std::vector<float> c0(5 * 32), c1(5 * 32);
            gemm_f32(c0.data(), a.data(), ta ? 'T' : 'N', b.data(), (char)layout, nullptr, 0, 5,
                     32, 9);
            gemm_f32(c1.data(), a.data(), ta ? 'T' : 'N', b.data(), (char)layout,
                     p.bias.data(), 0, 5, 32, 9);
            EXPECT_EQ(0, std::memcmp(c0.data(), c1.data(), c0.size() * sizeof(float)))
                << "layout " << layout << " transpose_a " << ta;
        }
}

// Packed and plain layouts of the same product agree within rounding, and
// the sigmoid is applied exactly once on each (a second application would
// squeeze every value into (0.5, 0.74)).
TEST(GemmF32, LayoutsAgreeAndSigmoidOnce)
{
    Problem p = make_problem(7, 32, 24, 42, 3.0f);
    std::vector<float> cN(7 * 32), cP(7 * 32), cT(7 * 32);
    std::vector<float> bP = layout_b(p, 16), bT = layout_b(p, 'T');
    gemm_f32(cN.data(), p.A.data(), 'N', p.B.data(), 'N', p.bias.data(), 3, 7, 32, 24);
    gemm_f32(cP.data(), p.A.data(), 'N', bP.data(), 16, p.bias.data(), 3, 7, 32, 24);
    gemm_f32(cT.data(), p.A.data(), 'N', bT.data(), 'T', p.bias.data(), 3, 7, 32, 24);
    int low = 0;
    for (int i = 0; i < 7 * 32; ++i) {
        EXPECT_NEAR(cN[i], cP[i], 1e-4);
        EXPECT_NEAR(cN[i], cT[i], 1e-4);
        if (cN[i] < 0.4f) ++low;
    }
    EXPECT_GT(low, 10);
}

TEST(GemmF32, EntryForwardsToKernel)
{
    Problem p = make_problem(3, 8, 4, 77);
    std::vector<float> c0(24), c1(24);
    gemm_f32(c0.data(), p.A.data(), 'N', p.B.data(), 'N', p.bias.data(), 2, 3, 8, 4);
    kernel_gemm_f32(c1.data(), p.A.data(), 'N', p.B.data(), 'N', p.bias.data(), 2, 3, 8, 4);
    EXPECT_EQ(0, std::memcmp(c0.data(), c1.data(), sizeof(float) * 24));
}

}  // namespace
