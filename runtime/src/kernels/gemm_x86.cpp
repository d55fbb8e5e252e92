/* The choice among the wide x86-64 GEMM bodies (gemm_x86.h), made once per
 * process from cpu_isa.h. */
#include "kernels/gemm_x86.h"

#include "kernels/cpu_isa.h"

namespace {

/* The float bodies of one extension and the rows of their widest tile. */
struct wide_f32 {
    gemm_f32_panels16_kernel* plain;
    conv_f32_panels16_kernel* in_place;
    int rows;
};

const wide_f32& chosen_f32()
{
    static const wide_f32 chosen = [] {
#if defined(__x86_64__)
        if (cpu_isa_avx512())
            return wide_f32{gemm_f32_panels16_avx512, conv_f32_panels16_avx512, 12};
        if (cpu_isa_avx2())
            return wide_f32{gemm_f32_panels16_avx2, conv_f32_panels16_avx2, 6};
#endif
        return wide_f32{nullptr, nullptr, 4};
    }();
    return chosen;
}

} // namespace

gemm_f32_panels16_kernel* gemm_f32_panels16_wide(void)
{
    return chosen_f32().plain;
}

int gemm_f32_panels16_rows(void)
{
    return chosen_f32().rows;
}

conv_f32_panels16_kernel* conv_f32_panels16_wide(void)
{
    return chosen_f32().in_place;
}
