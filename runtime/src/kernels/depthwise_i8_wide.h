/* The INT8 3x3 depthwise row kernel (kernel_depthwise3x3_i8_rows) at the
 * vector width of one x86-64 extension.  Included by exactly one file per
 * extension, each compiled with that extension's target flags; everything
 * here has internal linkage, so no wide instruction can stand in for a
 * baseline inline function elsewhere.
 *
 * Channel blocks of T::lanes outside, the output row inside.  The taps'
 * values less the input zero point (-255 .. 255) and the weights are 16-bit
 * lanes; two taps at a time are interleaved and multiplied pairwise into
 * 32-bit sums (vpmaddwd), exactly, so every accumulator equals the portable
 * body's.  The interleave works within 128-bit lanes: it puts channels
 * {0-3, 8-11, 16-19, ...} of a block in one accumulator and {4-7, 12-15,
 * ...} in the other (dw_channel_of); the bias and the factors are loaded in
 * the same order, and the pack to 16 bits puts the channels back.  Taps
 * outside the row count 0.  Blocks past float_channels take the portable
 * stage channel by channel.
 *
 * Traits T give the 16/32-bit integer vector I and the float vector F of
 * T::lanes / 2 lanes, the mask M of a block's first n channels
 * (T::mask(n)), and:
 *   widen(p, m)            the block's bytes as 16-bit lanes (0 past n)
 *   ordered(p, m, lo, hi)  32-bit values (int32 or float) of the block in
 *                          the accumulators' order (0 past n)
 *   zero, set16, set32, sub16, add32, madd, unpacklo16, unpackhi16,
 *   max32, min32, to_float, mul
 *   round_even(y)          to nearest even, saturating, NaN to 0
 *                          (round_even_to_i32)
 *   spill(p, v)            the T::lanes / 2 lanes of v to p
 *   store(o, m, r0, r1, z) r0 and r1 packed to 16 bits (saturating, the
 *                          channels back in order), plus z, saturated to 8
 *                          bits: the block's first n bytes to o. */
#ifndef KESTRUNE_KERNELS_DEPTHWISE_I8_WIDE_H
#define KESTRUNE_KERNELS_DEPTHWISE_I8_WIDE_H

#include <cstddef>
#include <cstdint>

#include "kernels/conv_kernels.h"
#include "kernels/depthwise_wide.h"

namespace {

/* Lane i of the low (hi 0) or high (hi 1) interleave holds channel
 * (i / 4) * 8 + hi * 4 + i % 4 of the block. */
constexpr int dw_channel_of(int i, int hi) { return (i / 4) * 8 + hi * 4 + i % 4; }

/* Rows and the stride are constants of each instance, so the taps unroll
 * and their weights stay in registers. */
template <typename T, int S, int Rows>
void dw_i8_rows(int32_t ow, int32_t ch, int8_t* out, int32_t iw, int32_t pad_left, int32_t edge,
                const int8_t* in, const int8_t* filter, const int32_t* bias,
                const depthwise_i8_stage* st)
{
    using I = typename T::I;
    using F = typename T::F;
    constexpr int L = T::lanes, half = T::lanes / 2;
    const int32_t f0 = edge == 1 ? 3 - Rows : 0;
    constexpr int taps = Rows * 3, pairs = (taps + 1) / 2;
    const size_t in_row = static_cast<size_t>(iw) * static_cast<size_t>(ch);
    const I z_in = T::set16(static_cast<int16_t>(st->z_in));
    const I z_out = T::set16(static_cast<int16_t>(st->z_out));
    const I zero = T::zero(), q6 = T::set32(st->q6);
    for (int32_t cb = 0; cb < ch; cb += L) {
        const int n = ch - cb < L ? ch - cb : L;
        const typename T::M m = T::mask(n);
        I w_lo[5], w_hi[5];
        for (int p = 0; p < pairs; ++p) {
            I w[2] = {zero, zero};
            for (int s = 0; s < 2 && 2 * p + s < taps; ++s) {
                const int t = 2 * p + s;
                const int8_t* f = filter + (static_cast<size_t>(f0 + t / 3) * 3 + t % 3) * ch + cb;
                w[s] = T::widen(f, m);
            }
            w_lo[p] = T::unpacklo16(w[0], w[1]);
            w_hi[p] = T::unpackhi16(w[0], w[1]);
        }
        I b_lo = zero, b_hi = zero;
        if (bias)
            T::ordered(bias + cb, m, b_lo, b_hi);
        const bool vector_stage = cb + n <= st->float_channels;
        F f_lo = T::to_float(zero), f_hi = f_lo;
        if (vector_stage)
            T::ordered(st->factors + cb, m, f_lo, f_hi);
        for (int32_t x = 0; x < ow; ++x) {
            const int32_t col0 = x * S - pad_left;
            const bool border = col0 < 0 || col0 + 2 >= iw;
            I acc_lo = b_lo, acc_hi = b_hi;
            for (int p = 0; p < pairs; ++p) {
                I v[2] = {zero, zero};
                for (int s = 0; s < 2 && 2 * p + s < taps; ++s) {
                    const int t = 2 * p + s;
                    const int32_t col = col0 + t % 3;
                    if (border && (col < 0 || col >= iw))
                        continue;
                    const int8_t* a = in + static_cast<size_t>(t / 3) * in_row + static_cast<size_t>(col) * ch + cb;
                    v[s] = T::sub16(T::widen(a, m), z_in);
                }
                acc_lo = T::add32(acc_lo, T::madd(T::unpacklo16(v[0], v[1]), w_lo[p]));
                acc_hi = T::add32(acc_hi, T::madd(T::unpackhi16(v[0], v[1]), w_hi[p]));
            }
            int8_t* o = out + static_cast<size_t>(x) * ch + cb;
            if (!vector_stage) {
                alignas(64) int32_t lo[half], hi[half];
                T::spill(lo, acc_lo);
                T::spill(hi, acc_hi);
                for (int i = 0; i < half; ++i) {
                    const int c0 = dw_channel_of(i, 0), c1 = dw_channel_of(i, 1);
                    if (c0 < n)
                        o[c0] = depthwise_i8_stage_one(lo[i], cb + c0, st);
                    if (c1 < n)
                        o[c1] = depthwise_i8_stage_one(hi[i], cb + c1, st);
                }
                continue;
            }
            I r[2];
            const I acc[2] = {acc_lo, acc_hi};
            const F f[2] = {f_lo, f_hi};
            for (int h = 0; h < 2; ++h) {
                I q = T::round_even(T::mul(T::to_float(acc[h]), f[h]));
                if (st->activation == 1 || st->activation == 2)
                    q = T::max32(q, zero);
                if (st->activation == 2)
                    q = T::min32(q, q6);
                r[h] = q;
            }
            T::store(o, m, r[0], r[1], z_out);
        }
    }
}

/* The entry's arguments to the instance of its stride and rows (1 to 3). */
template <typename T>
void depthwise3x3_i8_rows_wide(int32_t ow, int32_t ch, int8_t* out, int32_t iw, int32_t stride,
                               int32_t pad_left, int32_t rows, int32_t edge, const int8_t* in,
                               const int8_t* filter, const int32_t* bias,
                               const depthwise_i8_stage* st)
{
    dw_instance(stride, rows, [&](auto s, auto r) {
        dw_i8_rows<T, s(), r()>(ow, ch, out, iw, pad_left, edge, in, filter, bias, st);
    });
}

} // namespace

#endif
