/* What the wide 3x3 depthwise row bodies share (depthwise_f32_wide.h,
 * depthwise_i8_wide.h); internal linkage, like them. */
#ifndef KESTRUNE_KERNELS_DEPTHWISE_WIDE_H
#define KESTRUNE_KERNELS_DEPTHWISE_WIDE_H

#include <cstdint>
#include <type_traits>

namespace {

/* body(s, r) with the stride (1, else 2) and the filter rows (1 to 3; any
 * other count, nothing) as constants, std::integral_constant<int, ...>, so
 * each instance unrolls its taps. */
template <typename Body>
inline __attribute__((always_inline)) void dw_instance(int32_t stride, int32_t rows, Body&& body)
{
    const auto by_rows = [&](auto s) {
        if (rows == 3)
            body(s, std::integral_constant<int, 3>{});
        else if (rows == 2)
            body(s, std::integral_constant<int, 2>{});
        else if (rows == 1)
            body(s, std::integral_constant<int, 1>{});
    };
    if (stride == 1)
        by_rows(std::integral_constant<int, 1>{});
    else
        by_rows(std::integral_constant<int, 2>{});
}

} // namespace

#endif
