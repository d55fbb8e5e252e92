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

#ifdef __aarch64__
/* Sixteen fused multiply-adds of one k: the B row in v<B>..v<B+3> times
 * lane L of the rows' A vectors v4-v7 into the accumulators v16-v31 (row r,
 * columns 4q..4q+3 in v(16 + 4r + q)). */
#define KESTRUNE_FMLA_ROW(R0, R1, R2, R3, A, B0, B1, B2, B3, L)                                 \
    "fmla v" #R0 ".4s, v" #B0 ".4s, v" #A ".s[" #L "]\n\t"                                    \
    "fmla v" #R1 ".4s, v" #B1 ".4s, v" #A ".s[" #L "]\n\t"                                    \
    "fmla v" #R2 ".4s, v" #B2 ".4s, v" #A ".s[" #L "]\n\t"                                    \
    "fmla v" #R3 ".4s, v" #B3 ".4s, v" #A ".s[" #L "]\n\t"
#define KESTRUNE_FMLA_K(B0, B1, B2, B3, L)                                                       \
    KESTRUNE_FMLA_ROW(16, 17, 18, 19, 4, B0, B1, B2, B3, L)                                      \
    KESTRUNE_FMLA_ROW(20, 21, 22, 23, 5, B0, B1, B2, B3, L)                                      \
    KESTRUNE_FMLA_ROW(24, 25, 26, 27, 6, B0, B1, B2, B3, L)                                      \
    KESTRUNE_FMLA_ROW(28, 29, 30, 31, 7, B0, B1, B2, B3, L)

/* The clamps of fuse_act on the accumulators v16-v31: RELU (v12 = 0) and
 * RELU6 (v13 = 6, then v12). */
#define KESTRUNE_CLAMP16(OP, V)                                                                  \
    OP " v16.4s, v16.4s, " V ".4s\n\t" OP " v17.4s, v17.4s, " V ".4s\n\t"                      \
    OP " v18.4s, v18.4s, " V ".4s\n\t" OP " v19.4s, v19.4s, " V ".4s\n\t"                      \
    OP " v20.4s, v20.4s, " V ".4s\n\t" OP " v21.4s, v21.4s, " V ".4s\n\t"                      \
    OP " v22.4s, v22.4s, " V ".4s\n\t" OP " v23.4s, v23.4s, " V ".4s\n\t"                      \
    OP " v24.4s, v24.4s, " V ".4s\n\t" OP " v25.4s, v25.4s, " V ".4s\n\t"                      \
    OP " v26.4s, v26.4s, " V ".4s\n\t" OP " v27.4s, v27.4s, " V ".4s\n\t"                      \
    OP " v28.4s, v28.4s, " V ".4s\n\t" OP " v29.4s, v29.4s, " V ".4s\n\t"                      \
    OP " v30.4s, v30.4s, " V ".4s\n\t" OP " v31.4s, v31.4s, " V ".4s\n\t"
#define KESTRUNE_CLAMP_NONE ""
#define KESTRUNE_CLAMP_RELU KESTRUNE_CLAMP16("fmax", "v12")
#define KESTRUNE_CLAMP_RELU6 KESTRUNE_CLAMP16("fmin", "v13") KESTRUNE_CLAMP16("fmax", "v12")

/* The 4x16 tiles of rows i .. i+3 over `full` 16-wide panels from P, A as
 * stored (rows lda apart), written out as one block: per panel the
 * accumulators start at the bias (one load of 16 floats per row), then four
 * k at a time (two fours per loop step), the k left over one at a time with
 * A broadcast; the clamps of Act
 * and one store of 16 floats per row; the next panel follows in P, in the
 * bias and in C.  Every accumulator takes the same fused multiply-adds in
 * the same order as panel_tile, and the clamps are those of fuse_act, so
 * the two agree bit for bit.  (From intrinsics GCC moves accumulators
 * between registers and hoists the B loads.) */
/* Four k: each row's four A values one vector, each B row (one load of 64
 * bytes, taken while the previous one is multiplied) times one lane. */
#define KESTRUNE_K4                                                                              \
    "ldr q4, [%[a0]], #16\n\t"                                                                 \
    "ldr q5, [%[a1]], #16\n\t"                                                                 \
    "ldr q6, [%[a2]], #16\n\t"                                                                 \
    "ldr q7, [%[a3]], #16\n\t"                                                                 \
    "ld1 {v0.4s, v1.4s, v2.4s, v3.4s}, [%[p]], #64\n\t"                                        \
    "ld1 {v8.4s, v9.4s, v10.4s, v11.4s}, [%[p]], #64\n\t"                                      \
    KESTRUNE_FMLA_K(0, 1, 2, 3, 0)                                                             \
    "ld1 {v0.4s, v1.4s, v2.4s, v3.4s}, [%[p]], #64\n\t"                                        \
    KESTRUNE_FMLA_K(8, 9, 10, 11, 1)                                                           \
    "ld1 {v8.4s, v9.4s, v10.4s, v11.4s}, [%[p]], #64\n\t"                                      \
    KESTRUNE_FMLA_K(0, 1, 2, 3, 2)                                                             \
    KESTRUNE_FMLA_K(8, 9, 10, 11, 3)

#define KESTRUNE_PANELS_4X16(CLAMP)                                                              \
    __asm__ volatile(                                                                          \
        "movi v12.4s, #0\n\t"                                                                  \
        "fmov v13.4s, #6.0\n"                                                                  \
        "0:\n\t"                                                                               \
        "ld1 {v16.4s, v17.4s, v18.4s, v19.4s}, [%[b]]\n\t"                                     \
        "ld1 {v20.4s, v21.4s, v22.4s, v23.4s}, [%[b]]\n\t"                                     \
        "ld1 {v24.4s, v25.4s, v26.4s, v27.4s}, [%[b]]\n\t"                                     \
        "ld1 {v28.4s, v29.4s, v30.4s, v31.4s}, [%[b]], %[bstep]\n\t"                           \
        "lsr %w[n], %w[k4], #1\n\t"                                                            \
        "tbz %w[k4], #0, 1f\n\t"                                                               \
        KESTRUNE_K4                                                                            \
        "1:\n\t"                                                                               \
        "cbz %w[n], 2f\n"                                                                      \
        "5:\n\t"                                                                               \
        KESTRUNE_K4                                                                            \
        KESTRUNE_K4                                                                            \
        "subs %w[n], %w[n], #1\n\t"                                                            \
        "b.ne 5b\n"                                                                            \
        "2:\n\t"                                                                               \
        "cbz %w[k1], 4f\n\t"                                                                   \
        "mov %w[n], %w[k1]\n"                                                                  \
        "3:\n\t"                                                                               \
        "ld1r {v4.4s}, [%[a0]], #4\n\t"                                                        \
        "ld1r {v5.4s}, [%[a1]], #4\n\t"                                                        \
        "ld1r {v6.4s}, [%[a2]], #4\n\t"                                                        \
        "ld1r {v7.4s}, [%[a3]], #4\n\t"                                                        \
        "ld1 {v0.4s, v1.4s, v2.4s, v3.4s}, [%[p]], #64\n\t"                                    \
        KESTRUNE_FMLA_K(0, 1, 2, 3, 0)                                                         \
        "subs %w[n], %w[n], #1\n\t"                                                            \
        "b.ne 3b\n"                                                                            \
        "4:\n\t"                                                                               \
        CLAMP                                                                                  \
        "st1 {v16.4s, v17.4s, v18.4s, v19.4s}, [%[r0]], #64\n\t"                               \
        "st1 {v20.4s, v21.4s, v22.4s, v23.4s}, [%[r1]], #64\n\t"                               \
        "st1 {v24.4s, v25.4s, v26.4s, v27.4s}, [%[r2]], #64\n\t"                               \
        "st1 {v28.4s, v29.4s, v30.4s, v31.4s}, [%[r3]], #64\n\t"                               \
        "sub %[a0], %[a0], %[kb]\n\t"                                                          \
        "sub %[a1], %[a1], %[kb]\n\t"                                                          \
        "sub %[a2], %[a2], %[kb]\n\t"                                                          \
        "sub %[a3], %[a3], %[kb]\n\t"                                                          \
        "subs %w[panels], %w[panels], #1\n\t"                                                  \
        "b.ne 0b"                                                                              \
        : [a0] "+r"(a0), [a1] "+r"(a1), [a2] "+r"(a2), [a3] "+r"(a3), [p] "+r"(p),             \
          [b] "+r"(b), [r0] "+r"(r0), [r1] "+r"(r1), [r2] "+r"(r2), [r3] "+r"(r3),             \
          [panels] "+r"(panels), [n] "=&r"(n)                                                  \
        : [k4] "r"(k4), [k1] "r"(k1), [kb] "r"(kb), [bstep] "r"(bstep)                         \
        : "memory", "cc", "v0", "v1", "v2", "v3", "v4", "v5", "v6", "v7", "v8", "v9", "v10",   \
          "v11", "v12", "v13", "v16", "v17", "v18", "v19", "v20", "v21", "v22", "v23", "v24",  \
          "v25", "v26", "v27", "v28", "v29", "v30", "v31")

INL void panels_4x16(float* C, const float* A, size_t lda, int i, const float* P,
                     const float* bias, int activation, int N, int K, int full)
{
    static const float kZeros[16] = {};
    if (full <= 0)
        return;
    const float* a0 = A + static_cast<size_t>(i) * lda;
    const float* a1 = a0 + lda;
    const float* a2 = a1 + lda;
    const float* a3 = a2 + lda;
    const float* b = bias ? bias : kZeros;
    const size_t bstep = bias ? 64 : 0;
    float* r0 = C + static_cast<size_t>(i) * static_cast<size_t>(N);
    float* r1 = r0 + N;
    float* r2 = r1 + N;
    float* r3 = r2 + N;
    const float* p = P;
    const int k4 = K / 4, k1 = K % 4;
    const size_t kb = static_cast<size_t>(K) * sizeof(float);
    int panels = full, n;
    if (activation == kRelu)
        KESTRUNE_PANELS_4X16(KESTRUNE_CLAMP_RELU);
    else if (activation == kRelu6)
        KESTRUNE_PANELS_4X16(KESTRUNE_CLAMP_RELU6);
    else
        KESTRUNE_PANELS_4X16(KESTRUNE_CLAMP_NONE);
}
#undef KESTRUNE_PANELS_4X16
#undef KESTRUNE_K4
#undef KESTRUNE_CLAMP16
#undef KESTRUNE_CLAMP_NONE
#undef KESTRUNE_CLAMP_RELU
#undef KESTRUNE_CLAMP_RELU6
#undef KESTRUNE_FMLA_K
#undef KESTRUNE_FMLA_ROW
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
#ifdef __aarch64__
    if constexpr (W == 16 && Rows == 4 && !TransA) {
        panels_4x16(C, A.p, A.stride, i, B, bias, activation, N, K, full);
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
