/* The INT8 layout-8 product with the dot-product instructions (SDOT).  This
 * file alone is compiled for ARMv8.2-A with the dot product on aarch64; the
 * entry that calls it checks the CPU first.
 *
 * B comes in the grouped form gemm_i8_dot_pack makes once per layer: per
 * block of 16 columns (then a last block of 8) ceil(K/4) groups, each the
 * block's columns one after another with 4 k-values per column (zero past
 * K).  A tile is 4 rows by 16 columns (16 accumulators); each A row is read
 * 16 values at a time and its 4-value groups picked by lane.  The integer
 * sums are exact, so every accumulator equals the widening body's; the output
 * stage narrows first and clamps 16 bytes at once, which gives the same bytes
 * as panel_store's (see store_row_bytes). */
#include "kernels/gemm_quant.h"
#include "kernels/gemm_quant_stage.h"

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace {

/* Columns per grouped block: 16, the last one 8 when full/8 is odd. */
inline int32_t block_width(int32_t j0, int32_t full)
{
    return full - j0 >= 16 ? 16 : 8;
}

} // namespace

size_t gemm_i8_dot_packed_size(int32_t N, int32_t K)
{
    if (N < 8 || K < 1)
        return 0;
    return static_cast<size_t>(N / 8 * 8) * static_cast<size_t>((K + 3) / 4 * 4);
}

void gemm_i8_dot_pack(int8_t* dst, const int8_t* B, int32_t N, int32_t K)
{
    const int32_t full = N / 8 * 8;
    const int32_t groups = (K + 3) / 4;
    for (int32_t j0 = 0; j0 < full; j0 += block_width(j0, full)) {
        const int32_t w = block_width(j0, full);
        for (int32_t g = 0; g < groups; ++g)
            for (int32_t c = 0; c < w; ++c)
                for (int32_t kk = 0; kk < 4; ++kk) {
                    const int32_t k = g * 4 + kk;
                    /* column j0 + c lies in the 8-wide panel from j0 + c/8*8 */
                    const int8_t* panel =
                        B + static_cast<size_t>(j0 + c / 8 * 8) * static_cast<size_t>(K);
                    *dst++ = k < K ? panel[static_cast<size_t>(k) * 8 + c % 8] : 0;
                }
    }
}

#if defined(__aarch64__) && defined(__ARM_FEATURE_DOTPROD)
#include <arm_neon.h>

namespace {

using kestrune::ByteStage;
using kestrune::byte_stage;
using kestrune::store_row_bytes;

/* R rows of A from a by 8·W columns of the grouped block G: C rows ldc
 * apart, factors f and accumulator starts init of the block's columns. */
template <int R, int W>
inline void dot_tile(int8_t* C, size_t ldc, const int8_t* A, int32_t K, const int8_t* G,
                     const float* f, const int32_t* init, const ByteStage& st)
{
    constexpr int Q = 2 * W; /* accumulators (4 columns each) per row */
    const int8_t* a[R];
    int32x4_t acc[R][Q];
    {
        int32x4_t start[Q];
        for (int q = 0; q < Q; ++q)
            start[q] = vld1q_s32(init + 4 * q);
        for (int r = 0; r < R; ++r) {
            a[r] = A + static_cast<size_t>(r) * static_cast<size_t>(K);
            for (int q = 0; q < Q; ++q)
                acc[r][q] = start[q];
        }
    }
    const auto group = [&](const int8_t* g, const int8x16_t (&av)[R], auto lane)
                           __attribute__((always_inline)) {
        int8x16_t b[Q];
        if constexpr (W == 2) {
            const int8x16x4_t t = vld1q_s8_x4(g);
            b[0] = t.val[0];
            b[1] = t.val[1];
            b[2] = t.val[2];
            b[3] = t.val[3];
        } else {
            const int8x16x2_t t = vld1q_s8_x2(g);
            b[0] = t.val[0];
            b[1] = t.val[1];
        }
        for (int r = 0; r < R; ++r)
            for (int q = 0; q < Q; ++q)
                acc[r][q] = vdotq_laneq_s32(acc[r][q], b[q], av[r], lane());
    };
    constexpr size_t step = 32 * W; /* bytes of one group */
    int32_t k = 0;
    for (; k + 16 <= K; k += 16, G += 4 * step) {
        int8x16_t av[R];
        for (int r = 0; r < R; ++r)
            av[r] = vld1q_s8(a[r] + k);
        /* one group's B in registers at a time: GCC would load all four
         * first and spill accumulators for them */
        group(G, av, std::integral_constant<int, 0>{});
        __asm__ volatile("" ::: "memory");
        group(G + step, av, std::integral_constant<int, 1>{});
        __asm__ volatile("" ::: "memory");
        group(G + 2 * step, av, std::integral_constant<int, 2>{});
        __asm__ volatile("" ::: "memory");
        group(G + 3 * step, av, std::integral_constant<int, 3>{});
    }
    for (; k < K; k += 4, G += step) {
        /* the last group may be short: its missing B values are zero */
        int8x16_t av[R];
        for (int r = 0; r < R; ++r) {
            uint32_t w = 0;
            if (K - k >= 4)
                std::memcpy(&w, a[r] + k, sizeof w);
            else
                for (int32_t t = K - k; t-- > 0;)
                    w = w << 8 | static_cast<uint8_t>(a[r][k + t]);
            av[r] = vreinterpretq_s8_u32(vdupq_n_u32(w));
        }
        group(G, av, std::integral_constant<int, 0>{});
    }
    float32x4_t fv[Q];
    for (int q = 0; q < Q; ++q)
        fv[q] = vld1q_f32(f + 4 * q);
    for (int r = 0; r < R; ++r)
        store_row_bytes<W>(C + static_cast<size_t>(r) * ldc, acc[r], fv, st);
}

/* Every row tile (4 rows, then single ones) of one grouped block. */
template <int W>
inline void dot_block(int8_t* C, const int8_t* A, const int8_t* G, int32_t M, int32_t N,
                      int32_t K, const float* f, const int32_t* init, const ByteStage& st)
{
    const size_t ldc = static_cast<size_t>(N);
    int32_t i = 0;
    for (; i + 4 <= M; i += 4)
        dot_tile<4, W>(C + static_cast<size_t>(i) * ldc, ldc,
                       A + static_cast<size_t>(i) * static_cast<size_t>(K), K, G, f, init, st);
    for (; i < M; ++i)
        dot_tile<1, W>(C + static_cast<size_t>(i) * ldc, ldc,
                       A + static_cast<size_t>(i) * static_cast<size_t>(K), K, G, f, init, st);
}

} // namespace

void gemm_i8_panel8_columns_dot(int8_t* C, const int8_t* A, const int8_t* B, int32_t activation,
                                int32_t M, int32_t N, int32_t K, const gemm_i8_columns* cols)
{
    const int32_t full = N / 8 * 8;
    if (!cols->dot_b || cols->z_out < -128 || cols->z_out > 127) {
        gemm_i8_panel8_columns_v80(C, A, B, activation, M, N, K, cols);
        return;
    }
    const ByteStage st = byte_stage(cols->z_out, cols->q6, activation);
    const size_t groups = static_cast<size_t>((K + 3) / 4);
    const int8_t* G = cols->dot_b;
    for (int32_t j0 = 0; j0 < full;) {
        if (full - j0 >= 16) {
            dot_block<2>(C + j0, A, G, M, N, K, cols->factors + j0, cols->init + j0, st);
            G += groups * 64;
            j0 += 16;
        } else {
            dot_block<1>(C + j0, A, G, M, N, K, cols->factors + j0, cols->init + j0, st);
            G += groups * 32;
            j0 += 8;
        }
    }
    if (full < N) {
        /* a narrower last panel: the widening body on it alone */
        const gemm_i8_columns tail = {cols->factors + full, cols->init + full, cols->z_out,
                                      cols->q6, cols->b_has_min, nullptr};
        const int32_t width = N - full;
        for (int32_t i = 0; i < M; ++i)
            gemm_i8_panel8_columns_v80(C + static_cast<size_t>(i) * static_cast<size_t>(N) + full,
                                       A + static_cast<size_t>(i) * static_cast<size_t>(K),
                                       B + static_cast<size_t>(full) * static_cast<size_t>(K),
                                       activation, 1, width, K, &tail);
    }
}

#else

void gemm_i8_panel8_columns_dot(int8_t* C, const int8_t* A, const int8_t* B, int32_t activation,
                                int32_t M, int32_t N, int32_t K, const gemm_i8_columns* cols)
{
    gemm_i8_panel8_columns_v80(C, A, B, activation, M, N, K, cols);
}

#endif
