/* FLOAT32 GEMM kernels: the plain path, the packed-panel paths of widths 16, 8
 * and 4, and the transposed-B dot-product kernel.  Every path also reads a
 * transposed A (stored K×M) through a pair of strides, so no path copies or
 * allocates. */
#include "kernels/gemm_f32.h"

#include <stddef.h>

#include "kernels/gemm_simd.h"
#include "kernels/kernels.h"
#include "ops/frame.h"

#define INL static inline __attribute__((always_inline))

/* A(i, k) with row stride rs and k stride ks: (K, 1) as stored, (1, M) transposed. */
#define AE(i, k) A[(size_t)(i) * (size_t)rs + (size_t)(k) * (size_t)ks]

/* ---- plain path ------------------------------------------------------- */

/* One column chunk of `rows` rows (1, 2 or 4) and `vecs` vectors at column j,
 * for one k: C = (k == 0 ? bias : C) + a_r · B[k][j..]. */
#define PLAIN_CHUNK(rows, vecs)                                                                 \
    do {                                                                                      \
        for (int q = 0; q < (vecs); ++q) {                                                    \
            v_f32 b = vf_load(brow + j + 4 * q);                                              \
            v_f32 init = first ? (bias ? vf_load(bias + j + 4 * q) : vf_dup(0.0f)) : vf_dup(0.0f); \
            for (int r = 0; r < (rows); ++r) {                                                \
                float* cp = C + (size_t)r * (size_t)N + j + 4 * q;                            \
                v_f32 c = first ? init : vf_load(cp);                                         \
                vf_store(cp, vf_fma(c, va[r], b));                                            \
            }                                                                                 \
        }                                                                                     \
    } while (0)

INL void plain_block(float* C, const float* A, size_t rs, size_t ks, const float* B,
                     const float* bias, int rows, int N, int K)
{
    for (int k = 0; k < K; ++k) {
        const int first = (k == 0);
        const float* brow = B + (size_t)k * (size_t)N;
        float a[4];
        v_f32 va[4];
        for (int r = 0; r < rows; ++r) {
            a[r] = AE(r, k);
            va[r] = vf_dup(a[r]);
        }
        int j = 0;
        if (rows == 4) {
            for (; j + 8 <= N; j += 8)
                PLAIN_CHUNK(4, 2);
            for (; j + 4 <= N; j += 4)
                PLAIN_CHUNK(4, 1);
        } else if (rows == 2) {
            for (; j + 16 <= N; j += 16)
                PLAIN_CHUNK(2, 4);
            for (; j + 4 <= N; j += 4)
                PLAIN_CHUNK(2, 1);
        } else {
            for (; j + 16 <= N; j += 16)
                PLAIN_CHUNK(1, 4);
            for (; j + 4 <= N; j += 4)
                PLAIN_CHUNK(1, 1);
        }
        for (; j < N; ++j) {
            float b = brow[j];
            for (int r = 0; r < rows; ++r) {
                float* cp = C + (size_t)r * (size_t)N + j;
                float prod = a[r] * b;
                *cp = (first ? (bias ? bias[j] : 0.0f) : *cp) + prod;
            }
        }
    }
}

INL void plain_path(float* C, const float* A, size_t rs, size_t ks, const float* B,
                    const float* bias, int activation, int M, int N, int K)
{
    int i = 0;
    while (i < M) {
        int rows = M - i >= 4 ? 4 : M - i >= 2 ? 2 : 1;
        const float* a = A + (size_t)i * rs;
        float* c = C + (size_t)i * (size_t)N;
        if (rows == 4)
            plain_block(c, a, rs, ks, B, bias, 4, N, K);
        else if (rows == 2)
            plain_block(c, a, rs, ks, B, bias, 2, N, K);
        else
            plain_block(c, a, rs, ks, B, bias, 1, N, K);
        if (activation != 0)
            apply_activation(c, (uint32_t)rows * (uint32_t)N, c, activation);
        i += rows;
    }
}

/* ---- packed panels ---------------------------------------------------- */

INL v_f32 fuse_act(v_f32 v, int activation)
{
    if (activation == 1)
        return vf_max(v, vf_dup(0.0f));
    if (activation == 2)
        return vf_max(vf_min(v, vf_dup(6.0f)), vf_dup(0.0f));
    return v;
}

INL float fuse_act1(float v, int activation)
{
    if (activation == 1)
        return v < 0.0f ? 0.0f : v;
    if (activation == 2) {
        v = v > 6.0f ? 6.0f : v;
        return v < 0.0f ? 0.0f : v;
    }
    return v;
}

/* A narrow last panel of `width` < w columns starting at column j0 (K rows of
 * `width` values): scalar, separate multiply and add. */
INL void panel_tail(float* C, const float* A, size_t rs, size_t ks, const float* P,
                    const float* bias, int activation, int M, int N, int K, int j0, int width)
{
    for (int i = 0; i < M; ++i) {
        for (int c = 0; c < width; ++c) {
            float acc = bias ? bias[j0 + c] : 0.0f;
            for (int k = 0; k < K; ++k) {
                float prod = AE(i, k) * P[(size_t)k * (size_t)width + c];
                acc = acc + prod;
            }
            C[(size_t)i * (size_t)N + j0 + c] = fuse_act1(acc, activation);
        }
    }
}

/* Tile of `rows` rows × 16 columns over one panel, fused multiply-add. */
#define TILE16(rows)                                                                 \
    do {                                                                           \
        v_f32 acc[rows][4];                                                        \
        for (int q = 0; q < 4; ++q) {                                              \
            v_f32 b0 = bias ? vf_load(bias + j + 4 * q) : vf_dup(0.0f);            \
            for (int r = 0; r < (rows); ++r)                                       \
                acc[r][q] = b0;                                                    \
        }                                                                          \
        const float* p = P;                                                        \
        for (int k = 0; k < K; ++k, p += 16) {                                     \
            v_f32 b0 = vf_load(p), b1 = vf_load(p + 4);                            \
            v_f32 b2 = vf_load(p + 8), b3 = vf_load(p + 12);                       \
            for (int r = 0; r < (rows); ++r) {                                     \
                v_f32 a = vf_dup(AE(i + r, k));                                    \
                acc[r][0] = vf_fma(acc[r][0], a, b0);                              \
                acc[r][1] = vf_fma(acc[r][1], a, b1);                              \
                acc[r][2] = vf_fma(acc[r][2], a, b2);                              \
                acc[r][3] = vf_fma(acc[r][3], a, b3);                              \
            }                                                                      \
        }                                                                          \
        for (int r = 0; r < (rows); ++r)                                           \
            for (int q = 0; q < 4; ++q)                                            \
                vf_store(C + (size_t)(i + r) * (size_t)N + j + 4 * q,              \
                         fuse_act(acc[r][q], activation));                         \
    } while (0)

INL void panel16(float* C, const float* A, size_t rs, size_t ks, const float* B,
                 const float* bias, int activation, int M, int N, int K)
{
    const int full = N / 16;
    int i = 0;
    while (i < M) {
        int rows = M - i >= 4 ? 4 : M - i >= 2 ? 2 : 1;
        for (int p_ = 0; p_ < full; ++p_) {
            const int j = p_ * 16;
            const float* P = B + (size_t)p_ * (size_t)K * 16;
            if (rows == 4)
                TILE16(4);
            else if (rows == 2)
                TILE16(2);
            else
                TILE16(1);
        }
        i += rows;
    }
}

/* Tile of `rows` rows × 8 columns; k two at a time, then a last odd k;
 * separate multiply and add. */
#define TILE8(rows)                                                                  \
    do {                                                                           \
        v_f32 lo[rows], hi[rows];                                                  \
        v_f32 bl = bias ? vf_load(bias + j) : vf_dup(0.0f);                        \
        v_f32 bh = bias ? vf_load(bias + j + 4) : vf_dup(0.0f);                    \
        for (int r = 0; r < (rows); ++r) {                                         \
            lo[r] = bl;                                                            \
            hi[r] = bh;                                                            \
        }                                                                          \
        const float* p = P;                                                        \
        int k = 0;                                                                 \
        for (; k + 2 <= K; k += 2, p += 16) {                                      \
            v_f32 b0 = vf_load(p), b1 = vf_load(p + 4);                            \
            v_f32 b2 = vf_load(p + 8), b3 = vf_load(p + 12);                       \
            for (int r = 0; r < (rows); ++r) {                                     \
                v_f32 a0 = vf_dup(AE(i + r, k)), a1 = vf_dup(AE(i + r, k + 1));    \
                lo[r] = vf_mla(lo[r], a0, b0);                                     \
                hi[r] = vf_mla(hi[r], a0, b1);                                     \
                lo[r] = vf_mla(lo[r], a1, b2);                                     \
                hi[r] = vf_mla(hi[r], a1, b3);                                     \
            }                                                                      \
        }                                                                          \
        if (k < K) {                                                               \
            v_f32 b0 = vf_load(p), b1 = vf_load(p + 4);                            \
            for (int r = 0; r < (rows); ++r) {                                     \
                v_f32 a0 = vf_dup(AE(i + r, k));                                   \
                lo[r] = vf_mla(lo[r], a0, b0);                                     \
                hi[r] = vf_mla(hi[r], a0, b1);                                     \
            }                                                                      \
        }                                                                          \
        for (int r = 0; r < (rows); ++r) {                                         \
            float* cp = C + (size_t)(i + r) * (size_t)N + j;                       \
            vf_store(cp, fuse_act(lo[r], activation));                             \
            vf_store(cp + 4, fuse_act(hi[r], activation));                         \
        }                                                                          \
    } while (0)

INL void panel8(float* C, const float* A, size_t rs, size_t ks, const float* B,
                const float* bias, int activation, int M, int N, int K)
{
    const int full = N / 8;
    int i = 0;
    while (i < M) {
        int rows = M - i >= 4 ? 4 : M - i >= 2 ? 2 : 1;
        for (int p_ = 0; p_ < full; ++p_) {
            const int j = p_ * 8;
            const float* P = B + (size_t)p_ * (size_t)K * 8;
            if (rows == 4)
                TILE8(4);
            else if (rows == 2)
                TILE8(2);
            else
                TILE8(1);
        }
        i += rows;
    }
}

/* Tile of `rows` rows (2 or 1) × 4 columns; k two at a time, then a last odd k. */
#define TILE4(rows)                                                                  \
    do {                                                                           \
        v_f32 acc[rows];                                                           \
        v_f32 b_ = bias ? vf_load(bias + j) : vf_dup(0.0f);                        \
        for (int r = 0; r < (rows); ++r)                                           \
            acc[r] = b_;                                                           \
        const float* p = P;                                                        \
        int k = 0;                                                                 \
        for (; k + 2 <= K; k += 2, p += 8) {                                       \
            v_f32 b0 = vf_load(p), b1 = vf_load(p + 4);                            \
            for (int r = 0; r < (rows); ++r) {                                     \
                acc[r] = vf_mla(acc[r], vf_dup(AE(i + r, k)), b0);                 \
                acc[r] = vf_mla(acc[r], vf_dup(AE(i + r, k + 1)), b1);             \
            }                                                                      \
        }                                                                          \
        if (k < K) {                                                               \
            v_f32 b0 = vf_load(p);                                                 \
            for (int r = 0; r < (rows); ++r)                                       \
                acc[r] = vf_mla(acc[r], vf_dup(AE(i + r, k)), b0);                 \
        }                                                                          \
        for (int r = 0; r < (rows); ++r)                                           \
            vf_store(C + (size_t)(i + r) * (size_t)N + j, fuse_act(acc[r], activation)); \
    } while (0)

INL void panel4(float* C, const float* A, size_t rs, size_t ks, const float* B,
                const float* bias, int activation, int M, int N, int K)
{
    const int full = N / 4;
    int i = 0;
    for (; i + 2 <= M; i += 2) {
        for (int p_ = 0; p_ < full; ++p_) {
            const int j = p_ * 4;
            const float* P = B + (size_t)p_ * (size_t)K * 4;
            TILE4(2);
        }
    }
    if (i < M) {
        for (int p_ = 0; p_ < full; ++p_) {
            const int j = p_ * 4;
            const float* P = B + (size_t)p_ * (size_t)K * 4;
            TILE4(1);
        }
    }
}

INL void packed_path(float* C, const float* A, size_t rs, size_t ks, const float* B, int w,
                     const float* bias, int activation, int M, int N, int K)
{
    if (w == 16)
        panel16(C, A, rs, ks, B, bias, activation, M, N, K);
    else if (w == 8)
        panel8(C, A, rs, ks, B, bias, activation, M, N, K);
    else
        panel4(C, A, rs, ks, B, bias, activation, M, N, K);
    const int full = N / w;
    if (full * w < N)
        panel_tail(C, A, rs, ks, B + (size_t)full * (size_t)K * (size_t)w, bias, activation, M, N,
                   K, full * w, N - full * w);
    if (activation > 2)
        apply_activation(C, (uint32_t)M * (uint32_t)N, C, activation);
}

/* ---- transposed B ----------------------------------------------------- */

INL float dot_f32(const float* a, const float* b, int K, float acc)
{
    int k = 0;
    if (K >= 16) {
        v_f32 s0 = vf_dup(0.0f), s1 = vf_dup(0.0f), s2 = vf_dup(0.0f), s3 = vf_dup(0.0f);
        for (; k + 16 <= K; k += 16) {
            s0 = vf_fma(s0, vf_load(a + k), vf_load(b + k));
            s1 = vf_fma(s1, vf_load(a + k + 4), vf_load(b + k + 4));
            s2 = vf_fma(s2, vf_load(a + k + 8), vf_load(b + k + 8));
            s3 = vf_fma(s3, vf_load(a + k + 12), vf_load(b + k + 12));
        }
        v_f32 s = vf_add(vf_add(s0, s1), vf_add(s2, s3));
        for (; k + 4 <= K; k += 4)
            s = vf_fma(s, vf_load(a + k), vf_load(b + k));
        acc += vf_sum(s);
    } else if (K >= 4) {
        v_f32 s = vf_dup(0.0f);
        for (; k + 4 <= K; k += 4)
            s = vf_fma(s, vf_load(a + k), vf_load(b + k));
        acc += vf_sum(s);
    }
    for (; k < K; ++k)
        acc += a[k] * b[k];
    return acc;
}

/* Two dot products of one A row, each summed exactly as dot_f32 sums it
 * (the same chunks, accumulators and order), sharing the loads of a. */
INL void dot2_f32(const float* a, const float* b0, const float* b1, int K, float* acc0,
                  float* acc1)
{
    int k = 0;
    if (K >= 16) {
        v_f32 s0 = vf_dup(0.0f), s1 = vf_dup(0.0f), s2 = vf_dup(0.0f), s3 = vf_dup(0.0f);
        v_f32 t0 = vf_dup(0.0f), t1 = vf_dup(0.0f), t2 = vf_dup(0.0f), t3 = vf_dup(0.0f);
        for (; k + 16 <= K; k += 16) {
            const v_f32 x0 = vf_load(a + k), x1 = vf_load(a + k + 4);
            const v_f32 x2 = vf_load(a + k + 8), x3 = vf_load(a + k + 12);
            s0 = vf_fma(s0, x0, vf_load(b0 + k));
            t0 = vf_fma(t0, x0, vf_load(b1 + k));
            s1 = vf_fma(s1, x1, vf_load(b0 + k + 4));
            t1 = vf_fma(t1, x1, vf_load(b1 + k + 4));
            s2 = vf_fma(s2, x2, vf_load(b0 + k + 8));
            t2 = vf_fma(t2, x2, vf_load(b1 + k + 8));
            s3 = vf_fma(s3, x3, vf_load(b0 + k + 12));
            t3 = vf_fma(t3, x3, vf_load(b1 + k + 12));
        }
        v_f32 s = vf_add(vf_add(s0, s1), vf_add(s2, s3));
        v_f32 t = vf_add(vf_add(t0, t1), vf_add(t2, t3));
        for (; k + 4 <= K; k += 4) {
            const v_f32 x = vf_load(a + k);
            s = vf_fma(s, x, vf_load(b0 + k));
            t = vf_fma(t, x, vf_load(b1 + k));
        }
        *acc0 += vf_sum(s);
        *acc1 += vf_sum(t);
    } else if (K >= 4) {
        v_f32 s = vf_dup(0.0f), t = vf_dup(0.0f);
        for (; k + 4 <= K; k += 4) {
            const v_f32 x = vf_load(a + k);
            s = vf_fma(s, x, vf_load(b0 + k));
            t = vf_fma(t, x, vf_load(b1 + k));
        }
        *acc0 += vf_sum(s);
        *acc1 += vf_sum(t);
    }
    for (; k < K; ++k) {
        *acc0 += a[k] * b0[k];
        *acc1 += a[k] * b1[k];
    }
}

void gemm_f32_nt(float* C, const float* A, const float* B, const float* bias, int activation,
                 int M, int N, int K)
{
    if (M < 1 || N < 1 || K < 0)
        return;
    /* Columns in blocks of about 256 KiB of B, so that a block stays in
     * the cache while every row of A passes over it. */
    const int nb = K > 0 && 65536 / K > 2 ? (65536 / K) & ~1 : 2;
    for (int j0 = 0; j0 < N; j0 += nb) {
        const int j1 = N - j0 > nb ? j0 + nb : N;
        for (int i = 0; i < M; ++i) {
            const float* a = A + (size_t)i * (size_t)K;
            float* c = C + (size_t)i * (size_t)N;
            int j = j0;
            for (; j + 2 <= j1; j += 2) {
                const float* b0 = B + (size_t)j * (size_t)K;
                float v0 = bias ? bias[j] : 0.0f, v1 = bias ? bias[j + 1] : 0.0f;
                dot2_f32(a, b0, b0 + K, K, &v0, &v1);
                c[j] = fuse_act1(v0, activation);
                c[j + 1] = fuse_act1(v1, activation);
            }
            if (j < j1) {
                float v = dot_f32(a, B + (size_t)j * (size_t)K, K, bias ? bias[j] : 0.0f);
                c[j] = fuse_act1(v, activation);
            }
        }
    }
    if (activation > 2)
        apply_activation(C, (uint32_t)M * (uint32_t)N, C, activation);
}

/* Transposed A with transposed B: A(i, k) = A[k·M + i], B(k, j) = B[j·K + k]. */
static void gemm_f32_tt(float* C, const float* A, const float* B, const float* bias,
                        int activation, int M, int N, int K)
{
    const size_t rs = 1, ks = (size_t)M;
    for (int i = 0; i < M; ++i) {
        float* c = C + (size_t)i * (size_t)N;
        for (int j = 0; j < N; ++j) {
            const float* b = B + (size_t)j * (size_t)K;
            float acc = bias ? bias[j] : 0.0f;
            for (int k = 0; k < K; ++k)
                acc += AE(i, k) * b[k];
            c[j] = fuse_act1(acc, activation);
        }
    }
    if (activation > 2)
        apply_activation(C, (uint32_t)M * (uint32_t)N, C, activation);
}

/* ---- driver ----------------------------------------------------------- */

static void plain_n(float* C, const float* A, const float* B, const float* bias, int activation,
                    int M, int N, int K)
{
    plain_path(C, A, (size_t)K, 1, B, bias, activation, M, N, K);
}

static void plain_t(float* C, const float* A, const float* B, const float* bias, int activation,
                    int M, int N, int K)
{
    plain_path(C, A, 1, (size_t)M, B, bias, activation, M, N, K);
}

static void packed_n(float* C, const float* A, const float* B, int w, const float* bias,
                     int activation, int M, int N, int K)
{
    packed_path(C, A, (size_t)K, 1, B, w, bias, activation, M, N, K);
}

static void packed_t(float* C, const float* A, const float* B, int w, const float* bias,
                     int activation, int M, int N, int K)
{
    packed_path(C, A, 1, (size_t)M, B, w, bias, activation, M, N, K);
}

void gemm_f32(float* C, const float* A, char transpose_a, const float* B, char b_layout,
              const float* bias, int activation, int M, int N, int K)
{
    if (M < 1 || N < 1 || K < 1)
        return;
    const int layout = (unsigned char)b_layout;
    const int packed = layout == 16 || layout == 8 || layout == 4;
    if (transpose_a == 'T') {
        if (layout == 'T')
            gemm_f32_tt(C, A, B, bias, activation, M, N, K);
        else if (packed)
            packed_t(C, A, B, layout, bias, activation, M, N, K);
        else
            plain_t(C, A, B, bias, activation, M, N, K);
        return;
    }
    if (layout == 'T')
        gemm_f32_nt(C, A, B, bias, activation, M, N, K);
    else if (packed)
        packed_n(C, A, B, layout, bias, activation, M, N, K);
    else
        plain_n(C, A, B, bias, activation, M, N, K);
}

void kernel_gemm_f32(float* C, const float* A, char transpose_a, const float* B, char b_layout,
                     const float* bias, int32_t activation, int32_t M, int32_t N, int32_t K)
{
    gemm_f32(C, A, transpose_a, B, b_layout, bias, activation, M, N, K);
}
