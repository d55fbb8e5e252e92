#include "kernels/fixed_point.h"

#include <math.h>

void quantize_multiplier(int32_t* multiplier, int32_t* shift, float scale)
{
    int32_t m_out = 0, e_out = 0;
    if (isfinite(scale) && scale != 0.0f) {
        int e = 0;
        double m = frexp((double)scale, &e);
        int64_t q = llround(m * 2147483648.0);
        if (q == ((int64_t)1 << 31) || q == -((int64_t)1 << 31)) {
            q /= 2;
            e += 1;
        }
        m_out = (int32_t)q;
        e_out = e;
    }
    if (multiplier)
        *multiplier = m_out;
    if (shift)
        *shift = e_out;
}

int32_t round_even_to_i32_slow(float f)
{
    /* rintf rounds in the current mode: to nearest, ties to even. */
    return float_to_i32_sat(rintf(f));
}
