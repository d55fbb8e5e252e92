/* The tap walk of the per-tap depthwise kernels (float and quantised):
 * which input column each filter tap of an output column reads, and which
 * taps fall inside the row.  The whole-window kernels keep their tap loops
 * written out: a walk taking a lambda there costs registers in the innermost
 * loops. */
#ifndef KESTRUNE_KERNELS_WINDOWS_H
#define KESTRUNE_KERNELS_WINDOWS_H

#include <stdint.h>

namespace kestrune {

/* One filter row with dilation: f(tap, x, column) for each tap (0 .. kw-1)
 * and then each output column x whose input column
 * x * stride + tap * dilation - pad_left lies in [0, iw). */
template <class F>
inline void each_dilated_tap(int32_t ow, int32_t stride, int32_t pad_left, int32_t kw,
                             int32_t dilation, int32_t iw, F&& f)
{
    const int32_t span = (kw - 1) * dilation + 1;
    int32_t tap = 0;
    for (int32_t t = 0; t < span; t += dilation, ++tap)
        for (int32_t x = 0; x < ow; ++x) {
            const int32_t c = x * stride + t - pad_left;
            if (c < 0 || c >= iw)
                continue;
            f(tap, x, c);
        }
}

} // namespace kestrune

#endif
