/* The NEON output stage of the INT8 layout-8 kernels: eight accumulators of
 * one C row through the columns' float factors (ties to even), the fused
 * RELU (1) or RELU6 (2, at q6), the output zero point, saturated to INT8.
 * Shared by the widening and the dot-product bodies, which are built with
 * different target options. */
#ifndef KESTRUNE_KERNELS_GEMM_QUANT_STAGE_H
#define KESTRUNE_KERNELS_GEMM_QUANT_STAGE_H

#ifdef __ARM_NEON
#include <arm_neon.h>
#include <stdint.h>

namespace kestrune {

inline __attribute__((always_inline)) void store_row8(int8_t* c, int32x4_t lo, int32x4_t hi,
                                                      float32x4_t f_lo, float32x4_t f_hi,
                                                      int32_t activation, int32_t q6,
                                                      int32_t z_out)
{
    int32x4_t r0 = vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(lo), f_lo));
    int32x4_t r1 = vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(hi), f_hi));
    if (activation == 1 || activation == 2) {
        r0 = vmaxq_s32(r0, vdupq_n_s32(0));
        r1 = vmaxq_s32(r1, vdupq_n_s32(0));
    }
    if (activation == 2) {
        r0 = vminq_s32(r0, vdupq_n_s32(q6));
        r1 = vminq_s32(r1, vdupq_n_s32(q6));
    }
    r0 = vqaddq_s32(r0, vdupq_n_s32(z_out));
    r1 = vqaddq_s32(r1, vdupq_n_s32(z_out));
    const int16x8_t h = vcombine_s16(vqmovn_s32(r0), vqmovn_s32(r1));
    vst1_s8(c, vqmovn_s16(h));
}

} // namespace kestrune
#endif

#endif
