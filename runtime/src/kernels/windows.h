/* The tap walk of the per-tap depthwise kernels (float and quantised):
 * which input column each filter tap of an output column reads, and which
 * taps fall inside the row; and the sliding window of the 3x3 row kernels'
 * interiors.  The border pixels keep their tap loops written out. */
#ifndef KESTRUNE_KERNELS_WINDOWS_H
#define KESTRUNE_KERNELS_WINDOWS_H

#include <stddef.h>
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

/* The interior walk of the 3x3 row kernels: n output pixels of stride S (1
 * or 2) over three input rows from p0, p1, p2 (at the first pixel's first
 * column, columns cs elements apart).  col(p) loads one column of a row and
 * pixel(a0, a1, a2, b0, b1, b2, c0, c1, c2) takes one window, rows a, b, c
 * and columns 0-2.  Each column is loaded once per row and slid along it;
 * at stride 1 three pixels per step, so that no column is moved. */
template <int S, typename T, class Col, class Pixel>
inline __attribute__((always_inline)) void slide_3x3(int32_t n, const T* p0, const T* p1,
                                                     const T* p2, size_t cs, Col col,
                                                     Pixel pixel)
{
    if (n <= 0)
        return;
    auto a0 = col(p0), b0 = col(p1), c0 = col(p2);
    p0 += cs;
    p1 += cs;
    p2 += cs;
    if (S == 1) {
        auto a1 = col(p0), b1 = col(p1), c1 = col(p2);
        p0 += cs;
        p1 += cs;
        p2 += cs;
        for (; n >= 3; n -= 3, p0 += 3 * cs, p1 += 3 * cs, p2 += 3 * cs) {
            const auto a2 = col(p0), b2 = col(p1), c2 = col(p2);
            pixel(a0, a1, a2, b0, b1, b2, c0, c1, c2);
            a0 = col(p0 + cs);
            b0 = col(p1 + cs);
            c0 = col(p2 + cs);
            pixel(a1, a2, a0, b1, b2, b0, c1, c2, c0);
            a1 = col(p0 + 2 * cs);
            b1 = col(p1 + 2 * cs);
            c1 = col(p2 + 2 * cs);
            pixel(a2, a0, a1, b2, b0, b1, c2, c0, c1);
            /* a0, a1 (and b, c) now hold the next window's first two columns */
        }
        for (; n > 0; --n, p0 += cs, p1 += cs, p2 += cs) {
            const auto a2 = col(p0), b2 = col(p1), c2 = col(p2);
            pixel(a0, a1, a2, b0, b1, b2, c0, c1, c2);
            a0 = a1;
            b0 = b1;
            c0 = c1;
            a1 = a2;
            b1 = b2;
            c1 = c2;
        }
    } else {
        /* stride 2: two new columns per row and pixel, the last one kept;
         * two pixels per step, so that no column is moved */
        for (; n >= 2; n -= 2, p0 += 4 * cs, p1 += 4 * cs, p2 += 4 * cs) {
            const auto a1 = col(p0), b1 = col(p1), c1 = col(p2);
            const auto a2 = col(p0 + cs), b2 = col(p1 + cs), c2 = col(p2 + cs);
            pixel(a0, a1, a2, b0, b1, b2, c0, c1, c2);
            const auto a3 = col(p0 + 2 * cs), b3 = col(p1 + 2 * cs), c3 = col(p2 + 2 * cs);
            a0 = col(p0 + 3 * cs);
            b0 = col(p1 + 3 * cs);
            c0 = col(p2 + 3 * cs);
            pixel(a2, a3, a0, b2, b3, b0, c2, c3, c0);
        }
        if (n > 0) {
            const auto a1 = col(p0), b1 = col(p1), c1 = col(p2);
            const auto a2 = col(p0 + cs), b2 = col(p1 + cs), c2 = col(p2 + cs);
            pixel(a0, a1, a2, b0, b1, b2, c0, c1, c2);
        }
    }
}

} // namespace kestrune

#endif
