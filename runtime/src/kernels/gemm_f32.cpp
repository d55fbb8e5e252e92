/* FLOAT32 GEMM kernels: the plain path, the packed-panel paths of widths 16, 8
 * and 4, and the transposed-B dot-product kernel.  Every path also reads a
 * transposed A (stored K×M) through a pair of strides, so no path copies or
 * allocates. */
#include "kernels/gemm_f32.h"

#include <cstddef>
#include <type_traits>

#include "kernels/gemm_simd.h"
#include "kernels/gemm_x86.h"
#include "kernels/kernels.h"
#include "ops/frame.h"

#define INL inline __attribute__((always_inline))

namespace kestrune {
namespace {

using namespace simd;

/* The activation codes the kernels fuse into their stores; the others are
 * applied to the finished rows. */
constexpr int kRelu = 1;
constexpr int kRelu6 = 2;

/* A(i, k): row stride K and k stride 1 as stored, row stride 1 and k stride
 * M transposed.  The constant stride is part of the type, so that every
 * instance, inlined or not, sees it. */
template <bool TransA>
struct AView {
    const float* p;
    size_t stride; /* K as stored, M transposed */
    INL size_t rs() const { return TransA ? 1 : stride; }
    INL size_t ks() const { return TransA ? stride : 1; }
    INL float operator()(int i, int k) const
    {
        return p[static_cast<size_t>(i) * rs() + static_cast<size_t>(k) * ks()];
    }
    INL AView from_row(int i) const { return {p + static_cast<size_t>(i) * rs(), stride}; }
};

/* Calls f(rows, i) over the rows of M in blocks of Max (4 or 2) rows, then
 * 2, then 1, rows an integral_constant so that each block is its own tile. */
template <int Max, typename F>
INL void for_row_blocks(int M, F f)
{
    static_assert(Max == 4 || Max == 2, "row blocks of 4 or 2");
    for (int i = 0; i < M;) {
        const int left = M - i;
        if constexpr (Max == 4) {
            if (left >= 4) {
                f(std::integral_constant<int, 4>{}, i);
                i += 4;
                continue;
            }
        }
        if (left >= 2) {
            f(std::integral_constant<int, 2>{}, i);
            i += 2;
        } else {
            f(std::integral_constant<int, 1>{}, i);
            i += 1;
        }
    }
}

/* RELU and RELU6 on a float or on four lanes; the vector bodies keep their
 * own NaN rule (vf_max, vf_min), the scalar one passes a NaN through. */
INL float clamp_lo(float v, float lo) { return v < lo ? lo : v; }
INL float clamp_hi(float v, float hi) { return v > hi ? hi : v; }
INL v_f32 clamp_lo(v_f32 v, float lo) { return vf_max(v, dup(lo)); }
INL v_f32 clamp_hi(v_f32 v, float hi) { return vf_min(v, dup(hi)); }

template <typename V>
INL V fuse_act(V v, int activation)
{
    if (activation == kRelu)
        return clamp_lo(v, 0.0f);
    if (activation == kRelu6)
        return clamp_lo(clamp_hi(v, 6.0f), 0.0f);
    return v;
}

/* ---- plain path ------------------------------------------------------- */

/* One column chunk of Rows rows and Vecs vectors at column j, for one k:
 * C = (first ? bias : C) + a_r · B[k][j..]. */
template <int Rows, int Vecs>
INL void plain_chunk(float* C, int N, int j, const float* brow, const float* bias, bool first,
                     const v_f32* va)
{
    for (int q = 0; q < Vecs; ++q) {
        const v_f32 b = load(brow + j + 4 * q);
        const v_f32 init = first ? (bias ? load(bias + j + 4 * q) : dup(0.0f)) : dup(0.0f);
        for (int r = 0; r < Rows; ++r) {
            float* cp = C + static_cast<size_t>(r) * static_cast<size_t>(N) + j + 4 * q;
            const v_f32 c = first ? init : load(cp);
            store(cp, vf_fma(c, va[r], b));
        }
    }
}

template <int Rows, bool TransA>
INL void plain_block(float* C, AView<TransA> A, const float* B, const float* bias, int N, int K)
{
    /* vectors per wide chunk: 4 rows keep 8 accumulators, fewer rows 16 columns */
    constexpr int kWide = Rows == 4 ? 2 : 4;
    for (int k = 0; k < K; ++k) {
        const bool first = k == 0;
        const float* brow = B + static_cast<size_t>(k) * static_cast<size_t>(N);
        float a[Rows];
        v_f32 va[Rows];
        for (int r = 0; r < Rows; ++r) {
            a[r] = A(r, k);
            va[r] = dup(a[r]);
        }
        int j = 0;
        for (; j + 4 * kWide <= N; j += 4 * kWide)
            plain_chunk<Rows, kWide>(C, N, j, brow, bias, first, va);
        for (; j + 4 <= N; j += 4)
            plain_chunk<Rows, 1>(C, N, j, brow, bias, first, va);
        for (; j < N; ++j) {
            const float b = brow[j];
            for (int r = 0; r < Rows; ++r) {
                float* cp = C + static_cast<size_t>(r) * static_cast<size_t>(N) + j;
                const float prod = a[r] * b;
                *cp = (first ? (bias ? bias[j] : 0.0f) : *cp) + prod;
            }
        }
    }
}

template <bool TransA>
INL void plain_path(float* C, AView<TransA> A, const float* B, const float* bias, int activation,
                    int M, int N, int K)
{
    for_row_blocks<4>(M, [&](auto rows, int i) __attribute__((always_inline)) {
        float* c = C + static_cast<size_t>(i) * static_cast<size_t>(N);
        plain_block<rows()>(c, A.from_row(i), B, bias, N, K);
        if (activation != 0)
            apply_activation(c, static_cast<uint32_t>(rows()) * static_cast<uint32_t>(N), c,
                             activation);
    });
}

/* ---- packed panels ---------------------------------------------------- */

/* A narrow last panel of `width` < w columns starting at column j0 (K rows of
 * `width` values): scalar, separate multiply and add. */
template <bool TransA>
INL void panel_tail(float* C, AView<TransA> A, const float* P, const float* bias, int activation,
                    int M, int N, int K, int j0, int width)
{
    for (int i = 0; i < M; ++i) {
        for (int c = 0; c < width; ++c) {
            float acc = bias ? bias[j0 + c] : 0.0f;
            for (int k = 0; k < K; ++k) {
                const float prod = A(i, k) * P[static_cast<size_t>(k) * width + c];
                acc = acc + prod;
            }
            C[static_cast<size_t>(i) * static_cast<size_t>(N) + j0 + c] = fuse_act(acc, activation);
        }
    }
}

/* One tile of Rows rows × W columns over a full panel P at column j.  The
 * 16-wide tile takes k one at a time with a fused multiply-add; the 8- and
 * 4-wide tiles take k two at a time (then a last odd k) with a separate
 * multiply and add. */
template <int W, int Rows, bool TransA>
INL void panel_tile(float* C, AView<TransA> A, int i, int j, const float* P, const float* bias,
                    int activation, int N, int K)
{
    constexpr int kVecs = W / 4;
    constexpr int kStep = W == 16 ? 1 : 2;
    constexpr bool kFused = W == 16;
    const auto madd = [](v_f32 acc, v_f32 a, v_f32 b) __attribute__((always_inline)) {
        return kFused ? vf_fma(acc, a, b) : vf_mla(acc, a, b);
    };
    v_f32 acc[Rows][kVecs];
    for (int q = 0; q < kVecs; ++q) {
        const v_f32 b0 = bias ? load(bias + j + 4 * q) : dup(0.0f);
        for (int r = 0; r < Rows; ++r)
            acc[r][q] = b0;
    }
    const float* p = P;
    int k = 0;
    for (; k + kStep <= K; k += kStep, p += kStep * W) {
        v_f32 b[kStep][kVecs];
        for (int s = 0; s < kStep; ++s)
            for (int q = 0; q < kVecs; ++q)
                b[s][q] = load(p + s * W + 4 * q);
        for (int r = 0; r < Rows; ++r) {
            v_f32 a[kStep];
            for (int s = 0; s < kStep; ++s)
                a[s] = dup(A(i + r, k + s));
            for (int s = 0; s < kStep; ++s)
                for (int q = 0; q < kVecs; ++q)
                    acc[r][q] = madd(acc[r][q], a[s], b[s][q]);
        }
    }
    if (kStep == 2 && k < K) {
        v_f32 b[kVecs];
        for (int q = 0; q < kVecs; ++q)
            b[q] = load(p + 4 * q);
        for (int r = 0; r < Rows; ++r) {
            const v_f32 a = dup(A(i + r, k));
            for (int q = 0; q < kVecs; ++q)
                acc[r][q] = madd(acc[r][q], a, b[q]);
        }
    }
    for (int r = 0; r < Rows; ++r)
        for (int q = 0; q < kVecs; ++q)
            store(C + static_cast<size_t>(i + r) * static_cast<size_t>(N) + j + 4 * q,
                  fuse_act(acc[r][q], activation));
}

#ifdef __ARM_NEON
/* The 4x16 tile over a full 16-wide panel P at column j, A as stored (rows
 * lda apart): four k at a time, each row's four A values one vector and each
 * B row multiplied by one of its lanes.  Every accumulator takes the same
 * fused multiply-adds in the same order as panel_tile, so the two agree bit
 * for bit; the sixteen accumulators are named so that they stay in
 * registers. */
INL void panel_tile_4x16(float* C, const float* A, size_t lda, int i, int j, const float* P,
                         const float* bias, int activation, int N, int K)
{
    const float* a0 = A + static_cast<size_t>(i) * lda;
    const float* a1 = a0 + lda;
    const float* a2 = a1 + lda;
    const float* a3 = a2 + lda;
    const float32x4_t z = vdupq_n_f32(0.0f);
    const float32x4_t i0 = bias ? vld1q_f32(bias + j) : z;
    const float32x4_t i1 = bias ? vld1q_f32(bias + j + 4) : z;
    const float32x4_t i2 = bias ? vld1q_f32(bias + j + 8) : z;
    const float32x4_t i3 = bias ? vld1q_f32(bias + j + 12) : z;
    float32x4_t c00 = i0, c01 = i1, c02 = i2, c03 = i3;
    float32x4_t c10 = i0, c11 = i1, c12 = i2, c13 = i3;
    float32x4_t c20 = i0, c21 = i1, c22 = i2, c23 = i3;
    float32x4_t c30 = i0, c31 = i1, c32 = i2, c33 = i3;
/* one row's four accumulators c0..c3 += b0..b3 times lane L of x, written
 * out: from the intrinsics GCC moves accumulators between registers on
 * every k (a dozen moves per four k) */
#define KESTRUNE_TILE_ROW(c0, c1, c2, c3, x, L)                                                  \
    __asm__("fmla %0.4s, %4.4s, %8.s[" #L "]\n\t"                                              \
            "fmla %1.4s, %5.4s, %8.s[" #L "]\n\t"                                              \
            "fmla %2.4s, %6.4s, %8.s[" #L "]\n\t"                                              \
            "fmla %3.4s, %7.4s, %8.s[" #L "]"                                                   \
            : "+w"(c0), "+w"(c1), "+w"(c2), "+w"(c3)                                           \
            : "w"(b0), "w"(b1), "w"(b2), "w"(b3), "w"(x))
/* one k: the B row at p times lane L of the rows' A vectors x0..x3 */
#define KESTRUNE_TILE_K(p, L, x0, x1, x2, x3)                                                     \
    do {                                                                                           \
        const float32x4_t b0 = vld1q_f32(p), b1 = vld1q_f32((p) + 4);                              \
        const float32x4_t b2 = vld1q_f32((p) + 8), b3 = vld1q_f32((p) + 12);                       \
        KESTRUNE_TILE_ROW(c00, c01, c02, c03, x0, L);                                              \
        KESTRUNE_TILE_ROW(c10, c11, c12, c13, x1, L);                                              \
        KESTRUNE_TILE_ROW(c20, c21, c22, c23, x2, L);                                              \
        KESTRUNE_TILE_ROW(c30, c31, c32, c33, x3, L);                                              \
    } while (0)
/* One k of four (lane L of A vectors x, y of two rows) over the B row at
 * bytes O0 and O1 from p into the rows' accumulators r0-r3 and s0-s3,
 * written out: from intrinsics GCC loads all sixteen B vectors of the four
 * k first and moves accumulators between registers on every step.  The
 * first half loads the B row, the second takes it; the same fused
 * multiply-adds in the same order. */
#define KESTRUNE_TILE_FMLAS(L) \
    "fmla %[r0].4s, %[b0].4s, %[x].s[" #L "]\n\t" \
    "fmla %[r1].4s, %[b1].4s, %[x].s[" #L "]\n\t" \
    "fmla %[r2].4s, %[b2].4s, %[x].s[" #L "]\n\t" \
    "fmla %[r3].4s, %[b3].4s, %[x].s[" #L "]\n\t" \
    "fmla %[s0].4s, %[b0].4s, %[y].s[" #L "]\n\t" \
    "fmla %[s1].4s, %[b1].4s, %[y].s[" #L "]\n\t" \
    "fmla %[s2].4s, %[b2].4s, %[y].s[" #L "]\n\t" \
    "fmla %[s3].4s, %[b3].4s, %[y].s[" #L "]"
#define KESTRUNE_TILE_HALF_LOAD(P_, O0, O1, L, X_, Y_, R0_, R1_, R2_, R3_, S0_, S1_, S2_, S3_) \
    __asm__("ldp %q[b0], %q[b1], [%[p], #" #O0 "]\n\t" \
            "ldp %q[b2], %q[b3], [%[p], #" #O1 "]\n\t" \
            KESTRUNE_TILE_FMLAS(L) \
            : [r0] "+w"(R0_), [r1] "+w"(R1_), [r2] "+w"(R2_), [r3] "+w"(R3_), [s0] "+w"(S0_), \
              [s1] "+w"(S1_), [s2] "+w"(S2_), [s3] "+w"(S3_), [b0] "=&w"(b0), [b1] "=&w"(b1), \
              [b2] "=&w"(b2), [b3] "=&w"(b3) \
            : [x] "w"(X_), [y] "w"(Y_), [p] "r"(P_) \
            : "memory")
#define KESTRUNE_TILE_HALF(L, X_, Y_, R0_, R1_, R2_, R3_, S0_, S1_, S2_, S3_) \
    __asm__(KESTRUNE_TILE_FMLAS(L) \
            : [r0] "+w"(R0_), [r1] "+w"(R1_), [r2] "+w"(R2_), [r3] "+w"(R3_), [s0] "+w"(S0_), \
              [s1] "+w"(S1_), [s2] "+w"(S2_), [s3] "+w"(S3_) \
            : [b0] "w"(b0), [b1] "w"(b1), [b2] "w"(b2), [b3] "w"(b3), [x] "w"(X_), [y] "w"(Y_))
#define KESTRUNE_TILE_K4(p, O0, O1, L) \
    do { \
        float32x4_t b0, b1, b2, b3; \
        KESTRUNE_TILE_HALF_LOAD(p, O0, O1, L, x0, x1, c00, c01, c02, c03, c10, c11, c12, c13); \
        KESTRUNE_TILE_HALF(L, x2, x3, c20, c21, c22, c23, c30, c31, c32, c33); \
    } while (0)
    const float* p = P;
    int k = 0;
    for (; k + 4 <= K; k += 4, p += 64) {
        const float32x4_t x0 = vld1q_f32(a0 + k), x1 = vld1q_f32(a1 + k);
        const float32x4_t x2 = vld1q_f32(a2 + k), x3 = vld1q_f32(a3 + k);
        /* k's B row at byte offsets 64 k and 64 k + 32 from p */
        KESTRUNE_TILE_K4(p, 0, 32, 0);
        KESTRUNE_TILE_K4(p, 64, 96, 1);
        KESTRUNE_TILE_K4(p, 128, 160, 2);
        KESTRUNE_TILE_K4(p, 192, 224, 3);
    }
    for (; k < K; ++k, p += 16) {
        const float32x4_t x0 = vdupq_n_f32(a0[k]), x1 = vdupq_n_f32(a1[k]);
        const float32x4_t x2 = vdupq_n_f32(a2[k]), x3 = vdupq_n_f32(a3[k]);
        KESTRUNE_TILE_K(p, 0, x0, x1, x2, x3);
    }
#undef KESTRUNE_TILE_K
#undef KESTRUNE_TILE_ROW
#undef KESTRUNE_TILE_K4
#undef KESTRUNE_TILE_HALF_LOAD
#undef KESTRUNE_TILE_HALF
#undef KESTRUNE_TILE_FMLAS
    float* r0 = C + static_cast<size_t>(i) * static_cast<size_t>(N) + j;
    float* r1 = r0 + N;
    float* r2 = r1 + N;
    float* r3 = r2 + N;
    const auto put = [activation](float* o, float32x4_t v0, float32x4_t v1, float32x4_t v2,
                                  float32x4_t v3) __attribute__((always_inline)) {
        vst1q_f32(o, fuse_act(v0, activation));
        vst1q_f32(o + 4, fuse_act(v1, activation));
        vst1q_f32(o + 8, fuse_act(v2, activation));
        vst1q_f32(o + 12, fuse_act(v3, activation));
    };
    put(r0, c00, c01, c02, c03);
    put(r1, c10, c11, c12, c13);
    put(r2, c20, c21, c22, c23);
    put(r3, c30, c31, c32, c33);
}
#endif

/* Rows rows from row i over every full panel of width W, out of line: inlined
 * into the row loop of the path, the tile's accumulators shared the registers
 * with values that loop keeps (on x86-64 one more 4x16 accumulator went to
 * the stack, some 5% of a 1x1 convolution). */
template <int W, int Rows, bool TransA>
__attribute__((noinline)) void panel_row(float* C, AView<TransA> A, int i, const float* B,
                                         const float* bias, int activation, int N, int K)
{
    const int full = N / W;
#ifdef __ARM_NEON
    if constexpr (W == 16 && Rows == 4 && !TransA) {
        for (int p = 0; p < full; ++p)
            panel_tile_4x16(C, A.p, A.stride, i, p * W,
                            B + static_cast<size_t>(p) * static_cast<size_t>(K) * W, bias,
                            activation, N, K);
        return;
    }
#endif
    for (int p = 0; p < full; ++p)
        panel_tile<W, Rows>(C, A, i, p * W, B + static_cast<size_t>(p) * static_cast<size_t>(K) * W,
                            bias, activation, N, K);
}

/* Every full panel of width W: row blocks of 4, 2, 1 (of 2, 1 for W = 4). */
template <int W, bool TransA>
INL void panels(float* C, AView<TransA> A, const float* B, const float* bias, int activation, int M,
                int N, int K)
{
    for_row_blocks<W == 4 ? 2 : 4>(M, [&](auto rows, int i) __attribute__((always_inline)) {
        panel_row<W, rows()>(C, A, i, B, bias, activation, N, K);
    });
}

template <bool TransA>
INL void packed_path(float* C, AView<TransA> A, const float* B, int w, const float* bias,
                     int activation, int M, int N, int K)
{
    gemm_f32_panels16_kernel* wide = nullptr;
    if constexpr (!TransA)
        wide = w == 16 ? gemm_f32_panels16_wide() : nullptr;
    if (wide)
        wide(C, A.p, B, bias, activation, M, N, K);
    else if (w == 16)
        panels<16>(C, A, B, bias, activation, M, N, K);
    else if (w == 8)
        panels<8>(C, A, B, bias, activation, M, N, K);
    else
        panels<4>(C, A, B, bias, activation, M, N, K);
    const int full = N / w;
    if (full * w < N)
        panel_tail(C, A,
                   B + static_cast<size_t>(full) * static_cast<size_t>(K) * static_cast<size_t>(w),
                   bias, activation, M, N, K, full * w, N - full * w);
    if (activation > kRelu6)
        apply_activation(C, static_cast<uint32_t>(M) * static_cast<uint32_t>(N), C, activation);
}

/* ---- transposed B ----------------------------------------------------- */

/* NB dot products of one A row with the rows b[0..NB-1], sharing the loads of
 * a; each is summed in the same chunks, accumulators and order whatever NB,
 * and added to acc[n]. */
template <int NB>
INL void dot_rows(const float* a, const float* const (&b)[NB], int K, float (&acc)[NB])
{
    int k = 0;
    if (K >= 4) {
        v_f32 t[NB];
        if (K >= 16) {
            v_f32 s[NB][4];
            for (int n = 0; n < NB; ++n)
                for (int q = 0; q < 4; ++q)
                    s[n][q] = dup(0.0f);
            for (; k + 16 <= K; k += 16)
                for (int q = 0; q < 4; ++q) {
                    const v_f32 x = load(a + k + 4 * q);
                    for (int n = 0; n < NB; ++n)
                        s[n][q] = vf_fma(s[n][q], x, load(b[n] + k + 4 * q));
                }
            for (int n = 0; n < NB; ++n)
                t[n] = add(add(s[n][0], s[n][1]), add(s[n][2], s[n][3]));
        } else {
            for (int n = 0; n < NB; ++n)
                t[n] = dup(0.0f);
        }
        for (; k + 4 <= K; k += 4) {
            const v_f32 x = load(a + k);
            for (int n = 0; n < NB; ++n)
                t[n] = vf_fma(t[n], x, load(b[n] + k));
        }
        for (int n = 0; n < NB; ++n)
            acc[n] += vf_sum(t[n]);
    }
    for (; k < K; ++k)
        for (int n = 0; n < NB; ++n)
            acc[n] += a[k] * b[n][k];
}

/* Transposed A with transposed B: A(i, k) = A[k·M + i], B(k, j) = B[j·K + k]. */
void gemm_f32_tt(float* C, const float* A, const float* B, const float* bias, int activation,
                 int M, int N, int K)
{
    const AView<true> a{A, static_cast<size_t>(M)};
    for (int i = 0; i < M; ++i) {
        float* c = C + static_cast<size_t>(i) * static_cast<size_t>(N);
        for (int j = 0; j < N; ++j) {
            const float* b = B + static_cast<size_t>(j) * static_cast<size_t>(K);
            float acc = bias ? bias[j] : 0.0f;
            for (int k = 0; k < K; ++k)
                acc += a(i, k) * b[k];
            c[j] = fuse_act(acc, activation);
        }
    }
    if (activation > kRelu6)
        apply_activation(C, static_cast<uint32_t>(M) * static_cast<uint32_t>(N), C, activation);
}

/* ---- driver ----------------------------------------------------------- */

/* A as stored or transposed; the strides are constants of each instance. */
template <bool TransA>
INL AView<TransA> a_view(const float* A, int M, int K)
{
    return {A, static_cast<size_t>(TransA ? M : K)};
}

/* The packed (layout w) or plain path for A as stored or transposed, each
 * combination its own function. */
template <bool TransA, bool Packed>
void path_gemm(float* C, const float* A, const float* B, int w, const float* bias,
               int activation, int M, int N, int K)
{
    const AView<TransA> a = a_view<TransA>(A, M, K);
    if constexpr (Packed)
        packed_path(C, a, B, w, bias, activation, M, N, K);
    else
        plain_path(C, a, B, bias, activation, M, N, K);
}

template <bool TransA>
INL void a_paths(float* C, const float* A, const float* B, int layout, const float* bias,
                 int activation, int M, int N, int K)
{
    if (layout == 16 || layout == 8 || layout == 4)
        path_gemm<TransA, true>(C, A, B, layout, bias, activation, M, N, K);
    else
        path_gemm<TransA, false>(C, A, B, layout, bias, activation, M, N, K);
}

} // namespace
} // namespace kestrune

void gemm_f32_nt(float* C, const float* A, const float* B, const float* bias, int activation,
                 int M, int N, int K)
{
    using namespace kestrune;
    if (M < 1 || N < 1 || K < 0)
        return;
    /* Columns in blocks of about 256 KiB of B, so that a block stays in
     * the cache while every row of A passes over it. */
    const int nb = K > 0 && 65536 / K > 2 ? (65536 / K) & ~1 : 2;
    for (int j0 = 0; j0 < N; j0 += nb) {
        const int j1 = N - j0 > nb ? j0 + nb : N;
        for (int i = 0; i < M; ++i) {
            const float* a = A + static_cast<size_t>(i) * static_cast<size_t>(K);
            float* c = C + static_cast<size_t>(i) * static_cast<size_t>(N);
            int j = j0;
            for (; j + 2 <= j1; j += 2) {
                const float* b0 = B + static_cast<size_t>(j) * static_cast<size_t>(K);
                const float* const b[2] = {b0, b0 + K};
                float v[2] = {bias ? bias[j] : 0.0f, bias ? bias[j + 1] : 0.0f};
                dot_rows<2>(a, b, K, v);
                c[j] = fuse_act(v[0], activation);
                c[j + 1] = fuse_act(v[1], activation);
            }
            if (j < j1) {
                const float* const b[1] = {B + static_cast<size_t>(j) * static_cast<size_t>(K)};
                float v[1] = {bias ? bias[j] : 0.0f};
                dot_rows<1>(a, b, K, v);
                c[j] = fuse_act(v[0], activation);
            }
        }
    }
    if (activation > kRelu6)
        apply_activation(C, static_cast<uint32_t>(M) * static_cast<uint32_t>(N), C, activation);
}

void gemm_f32(float* C, const float* A, char transpose_a, const float* B, char b_layout,
              const float* bias, int activation, int M, int N, int K)
{
    using namespace kestrune;
    if (M < 1 || N < 1 || K < 1)
        return;
    const int layout = static_cast<unsigned char>(b_layout);
    if (transpose_a == 'T') {
        if (layout == 'T')
            gemm_f32_tt(C, A, B, bias, activation, M, N, K);
        else
            a_paths<true>(C, A, B, layout, bias, activation, M, N, K);
        return;
    }
    if (layout == 'T')
        gemm_f32_nt(C, A, B, bias, activation, M, N, K);
    else
        a_paths<false>(C, A, B, layout, bias, activation, M, N, K);
}

void kernel_gemm_f32(float* C, const float* A, char transpose_a, const float* B, char b_layout,
                     const float* bias, int32_t activation, int32_t M, int32_t N, int32_t K)
{
    gemm_f32(C, A, transpose_a, B, b_layout, bias, activation, M, N, K);
}
