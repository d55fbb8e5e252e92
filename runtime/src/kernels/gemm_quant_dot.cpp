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

/* The 4x16 tiles of rows 0 .. 4·tiles-1 over one grouped block of 16
 * columns, K a multiple of 16, written out as one block: per tile the
 * accumulators v16-v31 (row r, columns 4q..4q+3 in v(16 + 4r + q)) start
 * at init (one load of 16 values per row); per 16 k each row's 16 A values
 * one vector (v4-v7) and each group's 64 bytes (v0-v3) times one of its
 * lanes; then store_row_bytes' stage per row with the factors (v8-v11),
 * the zero point (v12) and the clamp's bytes (v13, v14).  The same
 * operations as dot_tile and store_row_bytes, so the same bytes. */
#define KESTRUNE_SDOT_K(L)                                                                       \
    "ld1 {v0.16b, v1.16b, v2.16b, v3.16b}, [%[g]], #64\n\t"                                    \
    "sdot v16.4s, v0.16b, v4.4b[" #L "]\n\tsdot v17.4s, v1.16b, v4.4b[" #L "]\n\t"           \
    "sdot v18.4s, v2.16b, v4.4b[" #L "]\n\tsdot v19.4s, v3.16b, v4.4b[" #L "]\n\t"           \
    "sdot v20.4s, v0.16b, v5.4b[" #L "]\n\tsdot v21.4s, v1.16b, v5.4b[" #L "]\n\t"           \
    "sdot v22.4s, v2.16b, v5.4b[" #L "]\n\tsdot v23.4s, v3.16b, v5.4b[" #L "]\n\t"           \
    "sdot v24.4s, v0.16b, v6.4b[" #L "]\n\tsdot v25.4s, v1.16b, v6.4b[" #L "]\n\t"           \
    "sdot v26.4s, v2.16b, v6.4b[" #L "]\n\tsdot v27.4s, v3.16b, v6.4b[" #L "]\n\t"           \
    "sdot v28.4s, v0.16b, v7.4b[" #L "]\n\tsdot v29.4s, v1.16b, v7.4b[" #L "]\n\t"           \
    "sdot v30.4s, v2.16b, v7.4b[" #L "]\n\tsdot v31.4s, v3.16b, v7.4b[" #L "]\n\t"
#define KESTRUNE_DOT_CLAMP_NONE ""
#define KESTRUNE_DOT_CLAMP_RELU "smax v0.16b, v0.16b, v13.16b\n\t"
#define KESTRUNE_DOT_CLAMP_RELU6                                                                 \
    "smax v0.16b, v0.16b, v13.16b\n\tsmin v0.16b, v0.16b, v14.16b\n\t"
#define KESTRUNE_DOT_ROW(A0, A1, A2, A3, CLAMP)                                                  \
    "scvtf v" #A0 ".4s, v" #A0 ".4s\n\tscvtf v" #A1 ".4s, v" #A1 ".4s\n\t"                   \
    "scvtf v" #A2 ".4s, v" #A2 ".4s\n\tscvtf v" #A3 ".4s, v" #A3 ".4s\n\t"                   \
    "fmul v" #A0 ".4s, v" #A0 ".4s, v8.4s\n\tfmul v" #A1 ".4s, v" #A1 ".4s, v9.4s\n\t"       \
    "fmul v" #A2 ".4s, v" #A2 ".4s, v10.4s\n\tfmul v" #A3 ".4s, v" #A3 ".4s, v11.4s\n\t"     \
    "fcvtns v" #A0 ".4s, v" #A0 ".4s\n\tfcvtns v" #A1 ".4s, v" #A1 ".4s\n\t"                 \
    "fcvtns v" #A2 ".4s, v" #A2 ".4s\n\tfcvtns v" #A3 ".4s, v" #A3 ".4s\n\t"                 \
    "sqxtn v0.4h, v" #A0 ".4s\n\tsqxtn2 v0.8h, v" #A1 ".4s\n\t"                              \
    "sqxtn v1.4h, v" #A2 ".4s\n\tsqxtn2 v1.8h, v" #A3 ".4s\n\t"                              \
    "sqadd v0.8h, v0.8h, v12.8h\n\tsqadd v1.8h, v1.8h, v12.8h\n\t"                           \
    "sqxtn v0.8b, v0.8h\n\tsqxtn2 v0.16b, v1.8h\n\t"                                         \
    CLAMP                                                                                      \
    "st1 {v0.16b}, [%[c]], %[ldc]\n\t"
#define KESTRUNE_DOT_TILES(CLAMP)                                                                \
    __asm__ volatile(                                                                          \
        "ld1 {v8.4s, v9.4s, v10.4s, v11.4s}, [%[f]]\n\t"                                       \
        "dup v12.8h, %w[z]\n\t"                                                                \
        "dup v13.16b, %w[lo]\n\t"                                                              \
        "dup v14.16b, %w[hi]\n"                                                                \
        "0:\n\t"                                                                               \
        "ld1 {v16.4s, v17.4s, v18.4s, v19.4s}, [%[init]]\n\t"                                  \
        "ld1 {v20.4s, v21.4s, v22.4s, v23.4s}, [%[init]]\n\t"                                  \
        "ld1 {v24.4s, v25.4s, v26.4s, v27.4s}, [%[init]]\n\t"                                  \
        "ld1 {v28.4s, v29.4s, v30.4s, v31.4s}, [%[init]]\n\t"                                  \
        "mov %[g], %[g0]\n"                                                                    \
        "1:\n\t"                                                                               \
        "ldr q4, [%[a]]\n\t"                                                                   \
        "ldr q5, [%[a], %[k1]]\n\t"                                                            \
        "ldr q6, [%[a], %[k2]]\n\t"                                                            \
        "ldr q7, [%[a], %[k3]]\n\t"                                                            \
        "add %[a], %[a], #16\n\t"                                                              \
        KESTRUNE_SDOT_K(0) KESTRUNE_SDOT_K(1) KESTRUNE_SDOT_K(2) KESTRUNE_SDOT_K(3)             \
        "cmp %[g], %[gend]\n\t"                                                                \
        "b.ne 1b\n\t"                                                                          \
        KESTRUNE_DOT_ROW(16, 17, 18, 19, CLAMP)                                                \
        KESTRUNE_DOT_ROW(20, 21, 22, 23, CLAMP)                                                \
        KESTRUNE_DOT_ROW(24, 25, 26, 27, CLAMP)                                                \
        KESTRUNE_DOT_ROW(28, 29, 30, 31, CLAMP)                                                \
        "add %[a], %[a], %[k3]\n\t"                                                            \
        "subs %w[tiles], %w[tiles], #1\n\t"                                                    \
        "b.ne 0b"                                                                              \
        : [a] "+r"(a), [c] "+r"(c), [tiles] "+r"(tiles), [g] "=&r"(g)                          \
        : [g0] "r"(G), [gend] "r"(gend), [init] "r"(init), [f] "r"(f), [k1] "r"(k1),           \
          [k2] "r"(k2), [k3] "r"(k3), [ldc] "r"(ldc), [z] "r"(z), [lo] "r"(l), [hi] "r"(h)   \
        : "memory", "cc", "v0", "v1", "v2", "v3", "v4", "v5", "v6", "v7", "v8", "v9", "v10",   \
          "v11", "v12", "v13", "v14", "v16", "v17", "v18", "v19", "v20", "v21", "v22", "v23",  \
          "v24", "v25", "v26", "v27", "v28", "v29", "v30", "v31")

inline void dot_tiles_4x16(int8_t* C, size_t ldc, const int8_t* A, int32_t K, int32_t tiles,
                           const int8_t* G, const float* f, const int32_t* init,
                           int32_t z_out, int8_t lo, int8_t hi, int32_t activation)
{
    const int8_t* a = A;
    int8_t* c = C;
    const int8_t* g;
    const int8_t* const gend = G + static_cast<size_t>(K) / 16 * 256;
    const size_t k1 = static_cast<size_t>(K), k2 = 2 * k1, k3 = 3 * k1;
    const int32_t z = z_out, l = lo, h = hi;
    if (activation == 1)
        KESTRUNE_DOT_TILES(KESTRUNE_DOT_CLAMP_RELU);
    else if (activation == 2)
        KESTRUNE_DOT_TILES(KESTRUNE_DOT_CLAMP_RELU6);
    else
        KESTRUNE_DOT_TILES(KESTRUNE_DOT_CLAMP_NONE);
}
#undef KESTRUNE_DOT_TILES
#undef KESTRUNE_DOT_ROW
#undef KESTRUNE_DOT_CLAMP_NONE
#undef KESTRUNE_DOT_CLAMP_RELU
#undef KESTRUNE_DOT_CLAMP_RELU6
#undef KESTRUNE_SDOT_K

/* Every row tile (4 rows, then single ones) of one grouped block. */
template <int W>
inline void dot_block(int8_t* C, const int8_t* A, const int8_t* G, int32_t M, int32_t N,
                      int32_t K, const float* f, const int32_t* init, const ByteStage& st)
{
    const size_t ldc = static_cast<size_t>(N);
    int32_t i = 0;
    if constexpr (W == 2) {
        if (K % 16 == 0 && M >= 4) {
            i = M / 4 * 4;
            dot_tiles_4x16(C, ldc, A, K, M / 4, G, f, init, vgetq_lane_s16(st.z16, 0),
                           vgetq_lane_s8(st.lo8, 0), vgetq_lane_s8(st.hi8, 0), st.activation);
        }
    }
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
