// Quantised GEMM and dense kernels against an independent integer reference:
// Σ (a − z_a)(b − z_b) in 64 bits, the bias, the shared fixed-point apply,
// the fused RELU/RELU6 clamp and a saturating store written here.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

extern "C" {
#include "kernels/fixed_point.h"
#include "kernels/gemm_quant.h"
#include "kernels/gemm_x86.h"
}

namespace {

int64_t sat_ref(int64_t v, uint32_t type)
{
    switch (type) {
    case NN_TYPE_I8: return std::clamp<int64_t>(v, -128, 127);
    case NN_TYPE_U8: return std::clamp<int64_t>(v, 0, 255);
    case NN_TYPE_I16: return std::clamp<int64_t>(v, -32768, 32767);
    case NN_TYPE_U16: return std::clamp<int64_t>(v, 0, 65535);
    case NN_TYPE_I32: return std::clamp<int64_t>(v, INT32_MIN, INT32_MAX);
    case NN_TYPE_U32: return std::clamp<int64_t>(v, 0, UINT32_MAX);
    default: return 0;
    }
}

size_t type_size(uint32_t t)
{
    return t == NN_TYPE_I16 || t == NN_TYPE_U16 ? 2 : t == NN_TYPE_I32 || t == NN_TYPE_U32 ? 4 : 1;
}

int64_t read_out(const std::vector<uint8_t>& buf, size_t i, uint32_t t)
{
    switch (t) {
    case NN_TYPE_I8: return (int8_t)buf[i];
    case NN_TYPE_U8: return buf[i];
    case NN_TYPE_I16: { int16_t v; std::memcpy(&v, &buf[2 * i], 2); return v; }
    case NN_TYPE_U16: { uint16_t v; std::memcpy(&v, &buf[2 * i], 2); return v; }
    case NN_TYPE_I32: { int32_t v; std::memcpy(&v, &buf[4 * i], 4); return v; }
    case NN_TYPE_U32: { uint32_t v; std::memcpy(&v, &buf[4 * i], 4); return v; }
    default: return 0;
    }
}

int32_t val8(const std::vector<uint8_t>& v, size_t i, uint32_t t)
{
    return t == NN_TYPE_I8 ? (int32_t)(int8_t)v[i] : (int32_t)v[i];
}

// One quantised product: operands stored as bytes in their 8-bit types,
// B kept K×N here and laid out for each kernel on demand.
struct QProblem {
    int M, N, K;
    uint32_t ta, tw, to;
    std::vector<uint8_t> A, B;  // M×K, K×N
    std::vector<int32_t> bias;
    std::vector<int32_t> zin{0}, zw{0}, zout{0}, zb{0};
    std::vector<float> sin{0.05f}, sw{0.02f}, sout{0.1f}, sb;
    nn_quant_params qo{}, qi{}, qw{}, qb{};
    std::vector<int32_t> mult, shift, rz;

    void records()
    {
        auto fill = [](nn_quant_params& q, const std::vector<int32_t>& z, const std::vector<float>& s,
                       uint32_t t) {
            q.zeros_count = z.size();
            q.zeros = z.data();
            q.scales_count = s.size();
            q.scales = s.data();
            q.element_size = type_size(t);
            q.type = t;
        };
        if (sb.empty()) {
            sb.resize(sw.size());
            for (size_t j = 0; j < sw.size(); ++j) sb[j] = sin[0] * sw[j];
        }
        fill(qo, zout, sout, to);
        fill(qi, zin, sin, ta);
        fill(qw, zw, sw, tw);
        fill(qb, zb, sb, NN_TYPE_I32);
        mult.assign(N, 0);
        shift.assign(N, 0);
        rz.assign(N, 0);
        for (int j = 0; j < N; ++j) {
            float s = sin[0] * sw[sw.size() > 1 ? j : 0] / sout[0];
            quantize_multiplier(&mult[j], &shift[j], s);
            int32_t sum = 0;
            for (int k = 0; k < K; ++k) sum += val8(B, (size_t)k * N + j, tw);
            rz[j] = sum;
        }
    }

    int32_t zw_at(int j) const { return sw.size() > 1 ? zw[j % zw.size()] : zw[0]; }
    int32_t zb_at(int j) const { return sw.size() > 1 ? zb[j % zb.size()] : zb[0]; }

    int64_t acc_ref(int i, int j, bool with_bias, bool symmetric_w) const
    {
        int64_t s = 0;
        for (int k = 0; k < K; ++k)
            s += (int64_t)(val8(A, (size_t)i * K + k, ta) - zin[0]) *
                 (val8(B, (size_t)k * N + j, tw) - (symmetric_w ? 0 : zw_at(j)));
        if (with_bias) s += bias[j] - zb_at(j);
        return s;
    }

    int32_t q6() const
    {
        int32_t m, e;
        quantize_multiplier(&m, &e, 1.0f / sout[0]);
        return apply_multiplier(6, m, e);
    }

    // Expected element with the fixed-point requantisation: the per-column
    // arrays, or (no arrays) one multiplier from the scales per element.
    int64_t expect_fixed(int i, int j, bool with_bias, int act, bool arrays) const
    {
        int32_t m = mult[j], e = shift[j];
        if (!arrays) {
            float s_w = sw[sw.size() > 1 ? j : 0];
            float s_b = sb[sb.size() > 1 ? j : 0];
            quantize_multiplier(&m, &e, with_bias ? s_b / sout[0] : (sin[0] * s_w) / sout[0]);
        }
        int32_t v = apply_multiplier((int32_t)acc_ref(i, j, with_bias, false), m, e);
        if (act == 1 || act == 2) v = std::max(v, 0);
        if (act == 2) v = std::min(v, q6());
        return sat_ref((int64_t)v + zout[0], to);
    }

    std::vector<uint8_t> b_layout(int layout) const
    {
        std::vector<uint8_t> out((size_t)K * N);
        if (layout == 'N') return B;
        if (layout == 'T') {
            for (int k = 0; k < K; ++k)
                for (int j = 0; j < N; ++j) out[(size_t)j * K + k] = B[(size_t)k * N + j];
            return out;
        }
        size_t o = 0;
        for (int j0 = 0; j0 < N; j0 += layout) {
            int w = std::min(layout, N - j0);
            for (int k = 0; k < K; ++k)
                for (int c = 0; c < w; ++c) out[o++] = B[(size_t)k * N + j0 + c];
        }
        return out;
    }
};

QProblem make(int M, int N, int K, uint32_t ta, uint32_t tw, uint32_t to, unsigned seed,
              bool per_channel = false)
{
    std::mt19937 rng(seed);
    QProblem p;
    p.M = M, p.N = N, p.K = K, p.ta = ta, p.tw = tw, p.to = to;
    p.A.resize((size_t)M * K);
    p.B.resize((size_t)K * N);
    for (auto& v : p.A) v = (uint8_t)rng();
    for (auto& v : p.B) v = (uint8_t)rng();
    p.bias.resize(N);
    for (auto& v : p.bias) v = (int32_t)(rng() % 4001) - 2000;
    p.zin = {ta == NN_TYPE_I8 ? (int32_t)(rng() % 21) - 10 : (int32_t)(rng() % 256)};
    p.zout = {to == NN_TYPE_U8 ? 128 : to == NN_TYPE_I8 ? -3 : 7};
    p.zw = {tw == NN_TYPE_U8 ? (int32_t)(rng() % 256) : 0};
    p.zb = {0};
    // Scales that put a fair share of the results outside the 8-bit range.
    p.sin = {0.02f};
    p.sout = {0.5f + 0.01f * (float)(K % 7)};
    if (per_channel) {
        p.sw.resize(N);
        p.zw.resize(N);
        for (int j = 0; j < N; ++j) {
            p.sw[j] = 0.02f + 0.003f * j;
            p.zw[j] = tw == NN_TYPE_U8 ? (int32_t)(rng() % 256) : 0;
        }
        p.zb.assign(N, 0);
    } else {
        p.sw = {0.03f};
    }
    p.records();
    return p;
}

::testing::AssertionResult compare(const QProblem& p, const std::vector<uint8_t>& out,
                                   bool with_bias, int act, bool arrays, const char* what)
{
    for (int i = 0; i < p.M; ++i)
        for (int j = 0; j < p.N; ++j) {
            int64_t want = p.expect_fixed(i, j, with_bias, act, arrays);
            int64_t got = read_out(out, (size_t)i * p.N + j, p.to);
            if (got != want)
                return ::testing::AssertionFailure()
                       << what << ": C[" << i << "," << j << "] = " << got << ", want " << want
                       << " (M=" << p.M << " N=" << p.N << " K=" << p.K << " act=" << act
                       << " bias=" << with_bias << ")";
        }
    return ::testing::AssertionSuccess();
}

// Output buffer with guard bytes after it that must stay untouched.
struct QOut {
    std::vector<uint8_t> buf;
    size_t n;
    QOut(size_t count, uint32_t t) : buf(count * type_size(t) + 16, 0xA5), n(count * type_size(t)) {}
    void* data() { return buf.data(); }
    bool guards() const
    {
        for (size_t i = n; i < buf.size(); ++i)
            if (buf[i] != 0xA5) return false;
        return true;
    }
};

std::vector<uint8_t> run_driver(const QProblem& p, int layout, bool with_bias, int act,
                                bool arrays, bool with_rz, bool* guards_ok)
{
    std::vector<uint8_t> b = p.b_layout(layout);
    QOut out((size_t)p.M * p.N, p.to);
    gemm_quant(out.data(), p.A.data(), 'N', b.data(), (char)layout, with_bias ? p.bias.data() : nullptr,
               act, p.M, p.N, p.K, &p.qo, &p.qi, &p.qw, with_bias ? &p.qb : nullptr,
               arrays ? p.mult.data() : nullptr, arrays ? p.shift.data() : nullptr,
               with_rz ? p.rz.data() : nullptr);
    *guards_ok = out.guards();
    out.buf.resize(out.n);
    return out.buf;
}

const int kMs[] = {1, 2, 3, 5};
const int kNs[] = {1, 2, 3, 7, 8, 9, 17};
const int kKs[] = {1, 7, 8, 9, 15, 16, 17, 33};

// Every row of the choice table for layouts 'T' and 'N' (the fast kernels
// and the general ones), over tails in M, N and K, bias or none, act 0-2.
TEST(GemmQuant, ChoiceTableAgainstIntegerReference)
{
    struct Row { const char* name; int layout; uint32_t ta, tw, to; bool arrays; };
    const Row rows[] = {
        {"gemm_i8_t / gemm_i8_t_row", 'T', NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, true},
        {"gemm_u8_t", 'T', NN_TYPE_U8, NN_TYPE_U8, NN_TYPE_U8, true},
        {"general T, mixed types, arrays", 'T', NN_TYPE_U8, NN_TYPE_I8, NN_TYPE_I8, true},
        {"general T, no arrays", 'T', NN_TYPE_I8, NN_TYPE_U8, NN_TYPE_U8, false},
        {"general T, INT16 output", 'T', NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I16, true},
        {"gemm_i8_n", 'N', NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, true},
        {"general N, UINT8", 'N', NN_TYPE_U8, NN_TYPE_U8, NN_TYPE_U8, true},
        {"general N, no arrays", 'N', NN_TYPE_U8, NN_TYPE_I8, NN_TYPE_I32, false},
    };
    unsigned seed = 1;
    for (const Row& r : rows)
        for (int M : kMs)
            for (int N : kNs)
                for (int K : kKs) {
                    QProblem p = make(M, N, K, r.ta, r.tw, r.to, seed++);
                    for (int bias = 0; bias < 2; ++bias)
                        for (int act = 0; act <= 3; ++act) {
                            bool guards = false;
                            auto out = run_driver(p, r.layout, bias, act, r.arrays, true, &guards);
                            ASSERT_TRUE(guards) << r.name;
                            ASSERT_TRUE(compare(p, out, bias, act, r.arrays, r.name));
                        }
                }
}

// Per-channel weights (two or more scales): the general kernels take the
// zero point and scale of each column; UINT8 per-channel zero points must
// not go through gemm_u8_t's single z_w.
TEST(GemmQuant, PerChannelWeightsTakeColumnParameters)
{
    unsigned seed = 900;
    for (int layout : {(int)'T', (int)'N'})
        for (uint32_t tw : {NN_TYPE_U8, NN_TYPE_I8})
            for (bool arrays : {true, false}) {
                QProblem p = make(3, 9, 17, NN_TYPE_U8, tw, NN_TYPE_U8, seed++, true);
                for (int bias = 0; bias < 2; ++bias) {
                    bool guards = false;
                    auto out = run_driver(p, layout, bias, 2, arrays, true, &guards);
                    EXPECT_TRUE(guards);
                    EXPECT_TRUE(compare(p, out, bias, 2, arrays, "per-channel"));
                }
            }
}

// The fast kernels read operand types the table does not test: an INT8
// output with UINT8 weights (or input) must not be read as signed.
TEST(GemmQuant, MixedSignednessAvoidsFastKernels)
{
    unsigned seed = 1200;
    struct T { uint32_t ta, tw, to; };
    for (T t : {T{NN_TYPE_I8, NN_TYPE_U8, NN_TYPE_I8}, T{NN_TYPE_U8, NN_TYPE_I8, NN_TYPE_I8},
                T{NN_TYPE_I8, NN_TYPE_U8, NN_TYPE_U8}, T{NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_U8}})
        for (int layout : {(int)'T', (int)'N'}) {
            QProblem p = make(4, 9, 20, t.ta, t.tw, t.to, seed++);
            bool guards = false;
            auto out = run_driver(p, layout, true, 1, true, true, &guards);
            EXPECT_TRUE(compare(p, out, true, 1, true, "mixed signedness"));
        }
}

// INT8 weights with a non-zero zero point are not symmetric: the general
// kernel serves them, with the zero point subtracted.
TEST(GemmQuant, AsymmetricInt8WeightsAreSubtracted)
{
    for (int layout : {(int)'T', (int)'N', 8}) {
        QProblem p = make(4, 8, 12, NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, 77 + layout);
        p.zw = {5};
        p.records();
        bool guards = false;
        auto out = run_driver(p, layout, true, 0, true, true, &guards);
        EXPECT_TRUE(compare(p, out, true, 0, true, "asymmetric weights")) << layout;
    }
}

// A non-zero bias zero point is subtracted by every kernel.
TEST(GemmQuant, BiasZeroPointSubtractedEverywhere)
{
    struct Row { int layout; uint32_t ta, tw, to; int M; };
    for (Row r : {Row{'T', NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, 3}, Row{'T', NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, 1},
                  Row{'N', NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, 3}, Row{'T', NN_TYPE_U8, NN_TYPE_U8, NN_TYPE_U8, 2},
                  Row{'T', NN_TYPE_U8, NN_TYPE_I8, NN_TYPE_I16, 2}}) {
        QProblem p = make(r.M, 10, 19, r.ta, r.tw, r.to, 300 + r.layout + r.M);
        p.zb = {300};
        p.records();
        bool guards = false;
        auto out = run_driver(p, r.layout, true, 0, true, true, &guards);
        EXPECT_TRUE(compare(p, out, true, 0, true, "bias zero point"));
    }
}

// One convolution's 1-row and 2-row tiles go through different kernels; with
// RELU6 and results above 6.0 every kernel must clamp at q6 + z_out.
TEST(GemmQuant, Relu6SameBytesAcrossKernels)
{
    QProblem p = make(2, 16, 40, NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, 4242);
    p.sout = {0.05f};  // 6.0 is 120 steps: the clamp lands inside int8
    p.zout = {-5};
    p.records();
    std::vector<uint8_t> bt = p.b_layout('T'), bn = p.b_layout('N');
    const int32_t q6 = p.q6();
    ASSERT_LT(q6 + p.zout[0], 127);
    for (int act : {0, 1, 2}) {
        std::vector<int8_t> t2(32), r1(32), g(32), n2(32);
        const int8_t* A = (const int8_t*)p.A.data();
        const int8_t* BT = (const int8_t*)bt.data();
        gemm_i8_t(t2.data(), A, BT, p.bias.data(), act, 2, 16, 40, p.mult.data(), p.shift.data(),
                  p.rz.data(), p.zin[0], p.zout[0], 0, q6);
        for (int i = 0; i < 2; ++i)
            gemm_i8_t_row(r1.data() + 16 * i, A + 40 * i, BT, p.bias.data(), act, 1, 16, 40,
                          p.mult.data(), p.shift.data(), p.rz.data(), p.zin[0], p.zout[0], 0, q6);
        gemm_quant_t_general(g.data(), A, BT, p.bias.data(), act, 2, 16, 40, &p.qo, &p.qi, &p.qw,
                             &p.qb, p.mult.data(), p.shift.data());
        gemm_i8_n(n2.data(), A, (const int8_t*)bn.data(), p.bias.data(), act, 2, 16, 40,
                  p.mult.data(), p.shift.data(), p.rz.data(), p.zin[0], p.zout[0], 0, q6);
        EXPECT_EQ(t2, r1) << act;
        EXPECT_EQ(t2, g) << act;
        EXPECT_EQ(t2, n2) << act;
        int at_q6 = 0;
        for (int8_t v : t2) {
            if (act == 2) {
                EXPECT_LE(v, q6 + p.zout[0]);
            }
            if (act >= 1) {
                EXPECT_GE(v, p.zout[0]);
            }
            at_q6 += v == q6 + p.zout[0];
        }
        if (act == 2) {
            EXPECT_GT(at_q6, 0) << "data never reached 6.0";
        }
    }
}

// Reference for the panel kernel: single-precision factor, ties to even.
int64_t panel_expect(const QProblem& p, int i, int j, bool with_bias, int act)
{
    int64_t acc = p.acc_ref(i, j, with_bias, true);
    const bool pc = p.sw.size() >= 2;
    float f;
    if (!with_bias) f = p.sin[0] * p.sw[pc ? j : 0];
    else if (pc) f = p.sb[j];
    else f = p.sin[0] * p.sw[0];
    f = f * (1.0f / p.sout[0]);
    float x = (float)(int32_t)acc * f;
    double r = std::nearbyint((double)x);
    int64_t v = (int64_t)std::clamp(r, -2147483648.0, 2147483647.0);
    if (act == 1 || act == 2) v = std::max<int64_t>(v, 0);
    if (act == 2) v = std::min<int64_t>(v, p.q6());
    return sat_ref(v + p.zout[0], NN_TYPE_I8);
}

TEST(GemmQuant, Panel8WithAndWithoutReduceZero)
{
    unsigned seed = 2000;
    for (int M : {1, 3, 4, 5, 9})
        for (int N : {8, 16, 24, 13})  // 13: a narrow last panel
            for (int K : {1, 4, 5, 19})
                for (bool pc : {false, true}) {
                    QProblem p = make(M, N, K, NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, seed++, pc);
                    p.sout = {0.05f};
                    p.records();
                    for (bool with_rz : {true, false})
                        for (int bias = 0; bias < 2; ++bias)
                            for (int act = 0; act <= 2; ++act) {
                                bool guards = false;
                                auto out = run_driver(p, 8, bias, act, false, with_rz, &guards);
                                ASSERT_TRUE(guards);
                                for (int i = 0; i < M; ++i)
                                    for (int j = 0; j < N; ++j)
                                        ASSERT_EQ(panel_expect(p, i, j, bias, act),
                                                  (int8_t)out[(size_t)i * N + j])
                                            << "M=" << M << " N=" << N << " K=" << K << " rz="
                                            << with_rz << " pc=" << pc << " act=" << act;
                            }
                }
}

// The wide columns bodies this CPU can run, whatever KESTRUNE_KERNELS says
// (the entry may be capped below them).
void add_wide_columns_bodies(std::vector<gemm_i8_columns_kernel*>* bodies)
{
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512vnni") && __builtin_cpu_supports("avx512vbmi"))
        bodies->push_back(gemm_i8_panel8_columns_vnni);
    if (__builtin_cpu_supports("avx2"))
        bodies->push_back(gemm_i8_panel8_columns_avx2);
#else
    (void)bodies;
#endif
}

// The layout-8 kernels with the column stage made once (the entry, the
// widening body and, where the CPU has the instructions, the dot-product
// and AVX-512 bodies, the dot-product one with B grouped for it and without)
// against the reference, on extents around the dot products' 4-, 16- and
// 64-value steps, the 4-row tiles, the 16- and 8-column blocks and the
// AVX-512 pairs of panels; a narrow last panel too.
TEST(GemmQuant, Panel8ColumnKernelsAgainstReference)
{
    std::vector<gemm_i8_columns_kernel*> kernels = {kernel_gemm_i8_panel8_columns,
                                                    gemm_i8_panel8_columns_v80};
    if (gemm_i8_dot_available())
        kernels.push_back(gemm_i8_panel8_columns_dot);
    add_wide_columns_bodies(&kernels);
    unsigned seed = 3000;
    for (int M : {0, 1, 3, 4, 5, 9})
        for (int N : {8, 15, 16, 17, 24, 32, 33, 40})
            for (int K : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 32, 33, 48, 67})
                for (bool pc : {false, true})
                    // Weights with -128 among them, and without (then the widening
                    // body adds two products in one 16-bit lane): A at -128 and
                    // B at -127 everywhere gives the largest such sums.
                    for (int weights : {0, 1, 2}) {
                        QProblem p = make(M > 0 ? M : 1, N, K, NN_TYPE_I8, NN_TYPE_I8,
                                          NN_TYPE_I8, seed++, pc);
                        p.M = M;
                        for (auto& b : p.B)
                            if (weights == 1 && b == 0x80)
                                b = 0x81;
                            else if (weights == 2)
                                b = 0x81;
                        if (weights == 2)
                            for (auto& a : p.A)
                                a = 0x80;
                        // Output zero points at the ends of the INT8 range and
                        // one beyond it (the dot-product body's narrowed stage
                        // holds for -128..127 only).
                        p.zout = {std::array<int32_t, 4>{-3, -128, 127, 300}[(size_t)(N + K) % 4]};
                        p.records();
                        const auto packed = p.b_layout(8);
                        const int32_t has_min =
                            gemm_i8_has_min((const int8_t*)packed.data(), packed.size());
                        ASSERT_EQ(has_min != 0,
                                  std::count(p.B.begin(), p.B.end(), (uint8_t)0x80) > 0);
                        for (int bias = 0; bias < 2; ++bias) {
                            std::vector<float> factors(N);
                            std::vector<int32_t> init(N);
                            gemm_i8_columns_fill(factors.data(), init.data(), N,
                                                 bias ? p.bias.data() : nullptr, &p.qo, &p.qi,
                                                 &p.qw, bias ? &p.qb : nullptr, p.rz.data());
                            // B grouped for the dot product, and not (then the
                            // dot-product body stands aside)
                            std::vector<int8_t> grouped(gemm_i8_dot_packed_size(N, K) + 1);
                            gemm_i8_dot_pack(grouped.data(), (const int8_t*)packed.data(), N, K);
                            const gemm_i8_columns plain = {factors.data(), init.data(), p.zout[0],
                                                           p.q6(), has_min, nullptr};
                            const gemm_i8_columns with_dot = {factors.data(), init.data(),
                                                              p.zout[0],      p.q6(),
                                                              has_min,        grouped.data()};
                            for (int act = 0; act <= 2; ++act)
                                for (const gemm_i8_columns* c : {&plain, &with_dot})
                                for (gemm_i8_columns_kernel* kernel : kernels) {
                                    const gemm_i8_columns& cols = *c;
                                    QOut out((size_t)M * N + 1, NN_TYPE_I8);
                                    kernel((int8_t*)out.data(), (const int8_t*)p.A.data(),
                                           (const int8_t*)packed.data(), act, M, N, K, &cols);
                                    ASSERT_TRUE(out.guards());
                                    for (int i = 0; i < M; ++i)
                                        for (int j = 0; j < N; ++j)
                                            ASSERT_EQ(panel_expect(p, i, j, bias, act),
                                                      (int8_t)out.buf[(size_t)i * N + j])
                                                << "M=" << M << " N=" << N << " K=" << K
                                                << " pc=" << pc << " act=" << act
                                                << " bias=" << bias << " weights=" << weights
                                                << " grouped=" << (c == &with_dot);
                                }
                        }
                    }
}

// Every layout-8 columns body this CPU has writes the stage's bytes, worked
// out lane by lane, at the ends of the ranges: operands at -128 and 127, accumulators near
// 2^30 and sums that pass 2^31 (they wrap), factors that overflow 32 bits or are not numbers, and output zero
// points far enough out that adding them saturates.
TEST(GemmQuant, Panel8ColumnBodiesAgreeOnExtremes)
{
    std::vector<gemm_i8_columns_kernel*> bodies = {kernel_gemm_i8_panel8_columns,
                                                   gemm_i8_panel8_columns_v80};
    if (gemm_i8_dot_available())
        bodies.push_back(gemm_i8_panel8_columns_dot);
    add_wide_columns_bodies(&bodies);
    const int M = 5, N = 16;
    // The stage lane by lane: the wrapping sum, its float product rounded
    // to the nearest even integer and saturated (not a number gives 0), the
    // clamp, the zero point added saturating, INT8 saturation.
    const auto stage = [](int32_t acc, float f, int act, int32_t q6, int32_t z_out) {
        const double x = (double)((float)acc * f);
        int64_t v = std::isnan(x)                ? 0
                    : x >= 2147483648.0          ? INT32_MAX
                    : x < -2147483648.0          ? INT32_MIN
                                                 : (int64_t)std::nearbyint(x);
        if (act == 1 || act == 2)
            v = std::max<int64_t>(v, 0);
        if (act == 2)
            v = std::min<int64_t>(v, q6);
        v = std::min<int64_t>(std::max<int64_t>(v + z_out, INT32_MIN), INT32_MAX);
        return (int8_t)std::min<int64_t>(std::max<int64_t>(v, -128), 127);
    };
    // K of 16-value steps and not
    for (int K : {37, 48}) {
        std::mt19937 rng(77 + K);
        std::vector<int8_t> A((size_t)M * K), B((size_t)K * N);
        for (int pattern = 0; pattern < 3; ++pattern) {
            for (size_t i = 0; i < A.size(); ++i)
                A[i] = pattern == 0 ? -128 : pattern == 1 ? (i % 2 ? 127 : -128) : (int8_t)rng();
            for (size_t i = 0; i < B.size(); ++i)
                B[i] = pattern == 0 ? -128 : pattern == 1 ? (i % 3 ? -128 : 127) : (int8_t)rng();
            const float nan = std::nanf("");
            const float f_list[N] = {1e-6f, 1.0f, 3e-3f, 1e30f, -1e30f, nan, INFINITY, -INFINITY,
                                     0.5f, -0.5f, 2e-5f, 7.0f, 1e9f, 0.0f, -3e-3f, 4e-4f};
            std::vector<float> factors(f_list, f_list + N);
            std::vector<int8_t> grouped(gemm_i8_dot_packed_size(N, K) + 1);
            gemm_i8_dot_pack(grouped.data(), B.data(), N, K);
            std::vector<int32_t> init(N);
            for (int j = 0; j < N; ++j)
                init[j] = j % 4 == 0   ? 1 << 30
                          : j % 4 == 1 ? -(1 << 30)
                          : j == 2     ? INT32_MAX - 1000  // sums that wrap, as every body's do
                          : j == 6     ? INT32_MIN + 1000
                                       : (int32_t)(rng() % (1u << 30)) - (1 << 29);
            for (int32_t z_out : {0, 100, -128, INT32_MAX - 5, INT32_MIN + 5})
                for (int act = 0; act <= 2; ++act) {
                    // with B grouped for the dot-product body (the others ignore it)
                    const gemm_i8_columns cols = {factors.data(), init.data(), z_out, 90,
                                                  gemm_i8_has_min(B.data(), B.size()),
                                                  grouped.data()};
                    std::vector<int8_t> want((size_t)M * N);
                    for (int i = 0; i < M; ++i)
                        for (int j = 0; j < N; ++j) {
                            uint32_t acc = (uint32_t)init[(size_t)j];
                            for (int k = 0; k < K; ++k)
                                acc += (uint32_t)((int32_t)A[(size_t)i * K + k] *
                                                  B[(size_t)(j / 8) * K * 8 + (size_t)k * 8 + j % 8]);
                            want[(size_t)i * N + j] =
                                stage((int32_t)acc, factors[(size_t)j], act, 90, z_out);
                        }
                    for (gemm_i8_columns_kernel* body : bodies) {
                        std::vector<int8_t> got((size_t)M * N, 55);
                        body(got.data(), A.data(), B.data(), act, M, N, K, &cols);
                        EXPECT_EQ(want, got) << "K " << K << " pattern " << pattern << " z_out "
                                             << z_out << " act " << act;
                    }
                }
        }
    }
}

// Layout 8 with operands that are not all INT8 goes to the general kernel
// reading the panels; it is not misread as signed bytes.
TEST(GemmQuant, Panel8OtherTypesUseGeneralKernel)
{
    QProblem p = make(5, 16, 11, NN_TYPE_U8, NN_TYPE_U8, NN_TYPE_U8, 31);
    bool guards = false;
    auto out = run_driver(p, 8, true, 1, true, true, &guards);
    EXPECT_TRUE(guards);
    EXPECT_TRUE(compare(p, out, true, 1, true, "panel8 uint8"));
}

// Extreme data: all −128 over K = 64 overflows any 16-bit sum of two
// products; UINT8 255 with zero points 0 and 255.
TEST(GemmQuant, ExtremeValues)
{
    struct Row { int layout; uint32_t t, to; uint8_t a, b; int32_t zin, zw; bool arrays; float sout; };
    const Row rows[] = {
        {'T', NN_TYPE_I8, NN_TYPE_I8, 0x80, 0x80, 0, 0, true, 12.0f},    // gemm_i8_t(_row)
        {'N', NN_TYPE_I8, NN_TYPE_I8, 0x80, 0x80, 0, 0, true, 12.0f},    // gemm_i8_n
        {8, NN_TYPE_I8, NN_TYPE_I8, 0x80, 0x80, 0, 0, true, 12.0f},      // panel8
        {'T', NN_TYPE_I8, NN_TYPE_I32, 0x80, 0x80, 127, 0, false, 0.0006f},
        {'T', NN_TYPE_U8, NN_TYPE_U8, 255, 255, 0, 0, true, 30.0f},      // gemm_u8_t
        {'T', NN_TYPE_U8, NN_TYPE_U8, 255, 255, 0, 255, true, 30.0f},
        {'T', NN_TYPE_U8, NN_TYPE_U8, 255, 255, 255, 0, true, 30.0f},
        {'T', NN_TYPE_U8, NN_TYPE_U8, 0, 255, 255, 0, true, 30.0f},
        {'N', NN_TYPE_U8, NN_TYPE_I32, 255, 255, 0, 255, false, 0.0006f},
        {'T', NN_TYPE_U8, NN_TYPE_I32, 0, 255, 255, 0, false, 0.0006f},
        {'N', NN_TYPE_U8, NN_TYPE_I32, 255, 0, 0, 255, true, 0.0006f},
    };
    for (const Row& r : rows)
        for (int M : {1, 2, 5}) {
            QProblem p = make(M, 9, 64, r.t, r.t, r.to, 5);
            std::fill(p.A.begin(), p.A.end(), r.a);
            std::fill(p.B.begin(), p.B.end(), r.b);
            p.zin = {r.zin};
            p.zw = {r.zw};
            p.zout = {0};
            p.sout = {r.sout};
            p.records();
            bool guards = false;
            auto out = run_driver(p, r.layout, false, 0, r.arrays, true, &guards);
            EXPECT_TRUE(guards);
            if (r.layout == 8) {
                for (int i = 0; i < M * 9; ++i)
                    EXPECT_EQ(panel_expect(p, i / 9, i % 9, false, 0), (int8_t)out[i]);
            } else {
                EXPECT_TRUE(compare(p, out, false, 0, r.arrays, "extreme"))
                    << "layout " << r.layout << " type " << r.t << " zin " << r.zin << " zw " << r.zw;
            }
            // the value is inside the output range: no saturation hides an overflow
            if (r.to != NN_TYPE_I32 && r.a == r.b && r.zin == 0 && r.zw == 0) {
                int64_t v = read_out(out, 0, r.to);
                EXPECT_GT(v, 20) << r.layout;
                EXPECT_LT(v, 127) << r.layout;
            }
        }
}

// Saturation of the general kernels for every output type, UINT16 at 65535.
// Zero points far outside the 8-bit range (a model file may store any):
// the general kernels and the dense row kernels form every product in 64
// bits and keep the low 32 bits of the sum, as the vector lanes do.
TEST(GemmQuant, FarZeroPointsWrapLikeTheLanes)
{
    unsigned seed = 900;
    for (int layout : {(int)'T', (int)'N'})
        for (int K : {7, 33}) {
            QProblem p = make(3, 5, K, NN_TYPE_U8, NN_TYPE_I8, NN_TYPE_I32, seed++);
            p.zin = {-33554437};
            p.zw = {2752512};
            p.records();
            for (int bias = 0; bias < 2; ++bias) {
                bool guards = false;
                auto out = run_driver(p, layout, bias, 0, true, false, &guards);
                ASSERT_TRUE(guards);
                EXPECT_TRUE(compare(p, out, bias, 0, true, "far zero points"));
            }
        }
    // The one-row accumulate kernel outside its vector case (it starts the
    // accumulators at 0).
    const std::vector<uint8_t> in = {0, 7, 255};
    const std::vector<uint8_t> w = {1, 2, 3, 4, 5, 6};  // K = 3 rows of N = 2
    const int32_t z_in = INT32_MIN + 3, z_w = 200;
    std::vector<int32_t> acc(2, 5);
    dense_u8_accumulate(in.data(), w.data(), 2, 3, z_in, z_w, acc.data());
    for (int j = 0; j < 2; ++j) {
        uint64_t want = 0;
        for (int k = 0; k < 3; ++k)
            want += (uint64_t)(((int64_t)in[k] - z_in) * ((int64_t)w[(size_t)k * 2 + j] - z_w));
        EXPECT_EQ(acc[j], (int32_t)(uint32_t)want) << j;
    }
}

TEST(GemmQuant, SaturationPerOutputType)
{
    for (uint32_t to : {NN_TYPE_I8, NN_TYPE_U8, NN_TYPE_I16, NN_TYPE_U16, NN_TYPE_I32, NN_TYPE_U32})
        for (int sign : {1, -1}) {
            QProblem p = make(2, 5, 30, NN_TYPE_U8, NN_TYPE_U8, to, 60);
            std::fill(p.A.begin(), p.A.end(), sign > 0 ? 255 : 0);
            std::fill(p.B.begin(), p.B.end(), 255);
            p.zin = {sign > 0 ? 0 : 255};
            p.zw = {0};
            p.zout = {0};
            p.records();
            // ±30·255·255 ≈ ±1.95e6 times 2^8: beyond every 8- and 16-bit range
            for (int j = 0; j < 5; ++j) p.mult[j] = 1 << 30, p.shift[j] = 9;
            bool guards = false;
            auto out = run_driver(p, 'T', false, 0, true, true, &guards);
            EXPECT_TRUE(guards);
            const int64_t exact = (int64_t)sign * 30 * 255 * 255 * 256;
            int64_t lo = to == NN_TYPE_I8 ? -128 : to == NN_TYPE_I16 ? -32768 : 0;
            int64_t hi = to == NN_TYPE_I8 ? 127 : to == NN_TYPE_U8 ? 255 : to == NN_TYPE_I16 ? 32767 : 65535;
            for (int i = 0; i < 10; ++i) {
                int64_t got = read_out(out, i, to);
                EXPECT_EQ(p.expect_fixed(i / 5, i % 5, false, 0, true), got) << to;
                if (to == NN_TYPE_I32) {
                    EXPECT_EQ(exact, got);
                } else if (to == NN_TYPE_U32) {
                    EXPECT_EQ(sign > 0 ? exact : 0, got);
                } else {
                    EXPECT_EQ(sign > 0 ? hi : lo, got) << to;
                }
            }
        }
    // Small positive values in UINT16 stay as they are; 70000 saturates.
    QProblem p = make(1, 2, 1, NN_TYPE_U8, NN_TYPE_U8, NN_TYPE_U16, 61);
    p.A = {1};
    p.B = {0, 0};
    p.zin = {0};
    p.zw = {0};
    p.zout = {0};
    p.records();
    p.bias = {70000, 1234};
    p.mult = {1 << 30, 1 << 30};
    p.shift = {1, 1};
    bool guards = false;
    auto out = run_driver(p, 'T', true, 0, true, true, &guards);
    EXPECT_EQ(65535, read_out(out, 0, NN_TYPE_U16));
    EXPECT_EQ(1234, read_out(out, 1, NN_TYPE_U16));
}

// gemm_u8_t with every input at z_in: the product term vanishes and each
// output is z_out plus the requantised bias[j] − z_b.
TEST(GemmQuant, U8AllInputsAtZeroPoint)
{
    QProblem p = make(3, 7, 25, NN_TYPE_U8, NN_TYPE_U8, NN_TYPE_U8, 88);
    p.zin = {131};
    p.zb = {10};
    std::fill(p.A.begin(), p.A.end(), 131);
    p.records();
    bool guards = false;
    auto out = run_driver(p, 'T', true, 0, true, true, &guards);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 7; ++j) {
            int64_t v = apply_multiplier(p.bias[j] - 10, p.mult[j], p.shift[j]);
            EXPECT_EQ(sat_ref(v + p.zout[0], NN_TYPE_U8), out[(size_t)i * 7 + j]);
        }
}

// The one-row dense kernels.
TEST(DenseQuant, AccumulateKernels)
{
    unsigned seed = 5000;
    for (int N : {1, 7, 8, 9, 15, 16, 17, 33})
        for (int K : {1, 3, 16}) {
            for (uint32_t t : {NN_TYPE_I8, NN_TYPE_U8}) {
                QProblem p = make(1, N, K, t, t, t, seed++);
                if (t == NN_TYPE_I8) p.zin = {-128};  // x up to 255 needs 16×16 products
                p.records();
                std::vector<int32_t> acc(N + 4, 0x5A5A5A5A);
                if (t == NN_TYPE_I8)
                    dense_i8_accumulate((const int8_t*)p.A.data(), (const int8_t*)p.B.data(), N, K,
                                        p.zin[0], acc.data());
                else
                    dense_u8_accumulate(p.A.data(), p.B.data(), N, K, p.zin[0], p.zw[0], acc.data());
                for (int j = 0; j < N; ++j)
                    EXPECT_EQ(p.acc_ref(0, j, false, t == NN_TYPE_I8), acc[j]) << N << " " << K;
                for (int j = N; j < N + 4; ++j) EXPECT_EQ(0x5A5A5A5A, acc[j]);
            }
        }
    // all-zero weights leave zero accumulators
    std::vector<int8_t> in(5, 7), w(5 * 3, 0);
    std::vector<int32_t> acc(3, 99);
    dense_i8_accumulate(in.data(), w.data(), 3, 5, 1, acc.data());
    EXPECT_EQ(std::vector<int32_t>(3, 0), acc);
}

TEST(DenseQuant, EntryChoosesByRecords)
{
    struct Row { uint32_t ta, tw, to; int32_t zw; bool buffer; int want; };
    const Row rows[] = {
        {NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, 0, true, 1},   // INT8 accumulate
        {NN_TYPE_U8, NN_TYPE_U8, NN_TYPE_I16, 9, true, 1},  // UINT8 accumulate
        {NN_TYPE_I8, NN_TYPE_U8, NN_TYPE_I8, 9, true, 0},   // weights of the other sign
        {NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, 3, true, 0},   // asymmetric INT8 weights
        {NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, 0, false, 0},  // no buffer: the row kernel
        {NN_TYPE_U8, NN_TYPE_I8, NN_TYPE_U8, 0, true, 0},
    };
    unsigned seed = 7000;
    for (const Row& r : rows)
        for (int bias = 0; bias < 2; ++bias) {
            QProblem p = make(1, 19, 21, r.ta, r.tw, r.to, seed++);
            p.zw = {r.zw};
            p.records();
            std::vector<int32_t> acc(19, 0x77);
            QOut out(19, r.to);
            int got = kernel_dense_quant(out.data(), p.A.data(), p.B.data(), bias ? p.bias.data() : nullptr,
                                         1, 19, 21, r.buffer ? acc.data() : nullptr, &p.qo, &p.qi,
                                         &p.qw, bias ? &p.qb : nullptr);
            EXPECT_EQ(r.want, got);
            EXPECT_TRUE(out.guards());
            if (got) {
                for (int j = 0; j < 19; ++j)
                    EXPECT_EQ(p.acc_ref(0, j, false, r.ta == NN_TYPE_I8), acc[j]);
            } else {
                out.buf.resize(out.n);
                EXPECT_TRUE(compare(p, out.buf, bias, 1, false, "dense_quant_row"));
                EXPECT_EQ(std::vector<int32_t>(19, 0x77), acc) << "buffer left as it was";
            }
        }
}

TEST(GemmQuant, OtherLayoutsComputeNothing)
{
    QProblem p = make(2, 4, 4, NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, 3);
    QOut out(8, NN_TYPE_I8);
    std::memset(out.data(), 0x11, 8);
    gemm_quant(out.data(), p.A.data(), 'N', p.B.data(), 16, p.bias.data(), 0, 2, 4, 4, &p.qo, &p.qi,
               &p.qw, &p.qb, p.mult.data(), p.shift.data(), p.rz.data());
    for (int i = 0; i < 8; ++i) EXPECT_EQ(0x11, out.buf[i]);
}

}  // namespace
