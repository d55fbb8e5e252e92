/* The tap walks that the convolution, depthwise and pooling row kernels
 * share: which input column each filter tap of an output column reads, and
 * which taps fall inside the row. */
#ifndef KESTRUNE_KERNELS_WINDOWS_H
#define KESTRUNE_KERNELS_WINDOWS_H

#include <stdint.h>

namespace kestrune {

/* f(ky, kx, column) for the taps of output column x, row by row and within
 * a row from left to right, whose input column lies in [0, iw). */
template <class F>
inline void each_tap(int32_t x, int32_t stride, int32_t pad_left, int32_t rows, int32_t kw,
                     int32_t iw, F&& f)
{
    for (int32_t ky = 0; ky < rows; ++ky)
        for (int32_t kx = 0; kx < kw; ++kx) {
            const int32_t c = x * stride - pad_left + kx;
            if (c < 0 || c >= iw)
                continue;
            f(ky, kx, c);
        }
}

/* One filter row with dilation: f(tap, x, column) for each tap (0 .. kw-1)
 * and then each output column x whose input column
 * x * stride + tap * dilation - pad_left lies in [0, iw). */
template <class F>
inline void each_dilated_tap(int32_t ow, int32_t stride, int32_t pad_left, int32_t kw,
                             int32_t dilation, int32_t iw, F&& f)
{
    const int32_t span = (kw - 1) * dilation + 1;
    for (int32_t t = 0; t < span; t += dilation)
        for (int32_t x = 0; x < ow; ++x) {
            const int32_t c = x * stride + t - pad_left;
            if (c < 0 || c >= iw)
                continue;
            f(t / dilation, x, c);
        }
}

} // namespace kestrune

#endif
