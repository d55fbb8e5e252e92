/* The choice among the wide x86-64 GEMM bodies (gemm_x86.h), made once per
 * process from cpu_isa.h. */
#include "kernels/gemm_x86.h"

#include "kernels/cpu_isa.h"

gemm_f32_panels16_kernel* gemm_f32_panels16_wide(void)
{
#if defined(__x86_64__)
    static gemm_f32_panels16_kernel* const chosen =
        cpu_isa_avx512()                     ? gemm_f32_panels16_avx512
        : cpu_isa_avx2()                     ? gemm_f32_panels16_avx2
                                             : nullptr;
    return chosen;
#else
    return nullptr;
#endif
}

int gemm_f32_panels16_rows(void)
{
#if defined(__x86_64__)
    static const int rows = cpu_isa_avx512() ? 12 : cpu_isa_avx2() ? 6 : 4;
    return rows;
#else
    return 4;
#endif
}

conv_f32_panels16_kernel* conv_f32_panels16_wide(void)
{
#if defined(__x86_64__)
    static conv_f32_panels16_kernel* const chosen =
        cpu_isa_avx512() ? conv_f32_panels16_avx512
        : cpu_isa_avx2() ? conv_f32_panels16_avx2
                         : nullptr;
    return chosen;
#else
    return nullptr;
#endif
}
