/* The element-wise and activation table at the AVX512 width (this file
 * alone is built for it); eltwise_x86.h. */
#include "kernels/eltwise_x86.h"

#if defined(__x86_64__) && defined(__AVX512F__)
#include "kernels/eltwise_wide.h"

namespace kestrune {

const eltwise_wide_table* eltwise_table_avx512(void)
{
    static constexpr eltwise_wide_table bodies = table<Avx512>();
    return &bodies;
}

} // namespace kestrune

#endif
