/* The INT8 layout-8 product with the dot-product instructions (SDOT).  This
 * file alone is compiled for ARMv8.2-A with the dot product on aarch64; the
 * entry that calls it checks the CPU first.
 *
 * A panel holds K rows of 8 column values; four of its rows (32 bytes) are
 * turned by two table lookups into the columns' 4-value groups SDOT takes,
 * once per tile of 4 rows.  Each A row is read 16 values at a time and its
 * 4-value groups picked by lane.  The integer sums are exact, so every
 * accumulator equals the widening body's; the output stage is
 * panel_store's. */
#include "kernels/gemm_quant.h"
#include "kernels/gemm_quant_stage.h"

#include <cstddef>
#include <cstring>
#include <type_traits>

#if defined(__aarch64__) && defined(__ARM_FEATURE_DOTPROD)
#include <arm_neon.h>

namespace {

/* Bytes kk*8 + c of four panel rows to c*4 + kk: columns 0-3, then 4-7. */
constexpr int8_t kTurnLo[16] = {0, 8, 16, 24, 1, 9, 17, 25, 2, 10, 18, 26, 3, 11, 19, 27};
constexpr int8_t kTurnHi[16] = {4, 12, 20, 28, 5, 13, 21, 29, 6, 14, 22, 30, 7, 15, 23, 31};

/* R rows from row i of one full panel P at column j0. */
template <int R>
inline void dot_tile(int8_t* C, const int8_t* A, const int8_t* P, int32_t i, int32_t j0,
                     int32_t N, int32_t K, const float* f, const int32_t* init,
                     int32_t activation, int32_t q6, int32_t z_out, int8x16_t turn_lo,
                     int8x16_t turn_hi)
{
    const int8_t* a[R];
    int32x4_t lo[R], hi[R];
    kestrune::start_rows8<R>(A, i, K, init, a, lo, hi);
    const auto group = [&](const int8_t* p, int8x16_t (&av)[R], auto lane)
                           __attribute__((always_inline)) {
        const int8x16x2_t t = vld1q_s8_x2(p);
        const int8x16_t b_lo = vqtbl2q_s8(t, vreinterpretq_u8_s8(turn_lo));
        const int8x16_t b_hi = vqtbl2q_s8(t, vreinterpretq_u8_s8(turn_hi));
        for (int r = 0; r < R; ++r) {
            lo[r] = vdotq_laneq_s32(lo[r], b_lo, av[r], lane());
            hi[r] = vdotq_laneq_s32(hi[r], b_hi, av[r], lane());
        }
    };
    int32_t k = 0;
    for (; k + 16 <= K; k += 16) {
        int8x16_t av[R];
        for (int r = 0; r < R; ++r)
            av[r] = vld1q_s8(a[r] + k);
        const int8_t* p = P + static_cast<size_t>(k) * 8;
        group(p, av, std::integral_constant<int, 0>{});
        group(p + 32, av, std::integral_constant<int, 1>{});
        group(p + 64, av, std::integral_constant<int, 2>{});
        group(p + 96, av, std::integral_constant<int, 3>{});
    }
    for (; k + 4 <= K; k += 4) {
        int8x16_t av[R];
        for (int r = 0; r < R; ++r) {
            int32_t w;
            std::memcpy(&w, a[r] + k, sizeof w);
            av[r] = vreinterpretq_s8_s32(vdupq_n_s32(w));
        }
        group(P + static_cast<size_t>(k) * 8, av, std::integral_constant<int, 0>{});
    }
    kestrune::finish_rows8<R>(C + static_cast<size_t>(i) * static_cast<size_t>(N) + j0,
                              static_cast<size_t>(N), a, P, k, K, lo, hi, f, activation, q6,
                              z_out);
}

} // namespace

void gemm_i8_panel8_columns_dot(int8_t* C, const int8_t* A, const int8_t* B, int32_t activation,
                                int32_t M, int32_t N, int32_t K, const gemm_i8_columns* cols)
{
    const int32_t full = N / 8 * 8;
    const int8x16_t turn_lo = vld1q_s8(kTurnLo), turn_hi = vld1q_s8(kTurnHi);
    kestrune::each_tile8(M, full, K, B, cols->factors, cols->init,
                         [&](auto rows, const int8_t* P, int32_t i, int32_t j0, const float* f,
                             const int32_t* init) __attribute__((always_inline)) {
                             dot_tile<rows()>(C, A, P, i, j0, N, K, f, init, activation,
                                              cols->q6, cols->z_out, turn_lo, turn_hi);
                         });
    if (full < N) {
        /* a narrower last panel: the widening body on it alone */
        const gemm_i8_columns tail = {cols->factors + full, cols->init + full, cols->z_out,
                                      cols->q6, cols->b_has_min};
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
