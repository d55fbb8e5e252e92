/* The FLOAT32 element-wise and activation bodies at the x86-64 vector widths
 * (AVX2: eight lanes, AVX-512: sixteen), each table built in a file of its
 * own for its extension (eltwise_avx2.cpp, eltwise_avx512.cpp).  Every lane
 * is the IEEE operation of the portable body on that element, so a wide
 * body gives the portable body's bits, NaN, -0 and infinities included. */
#ifndef KESTRUNE_KERNELS_ELTWISE_X86_H
#define KESTRUNE_KERNELS_ELTWISE_X86_H

#include <stddef.h>
#include <stdint.h>

namespace kestrune {

struct eltwise_wide_table {
    /* binary[op][form]: op 0 add, 1 subtract, 2 multiply, 3 divide; form 0
     * out = a op b, 1 out = a op v, 2 out = v op b (the arrays not used are
     * not read).  Out is a, b or apart from both. */
    void (*binary[4][3])(float* out, int32_t count, const float* a, const float* b, float v);
    void (*add_i32)(int32_t* out, int32_t count, const int32_t* a, const int32_t* b);
    /* Out is in or apart from it. */
    void (*relu)(float* out, int32_t count, const float* in);
    void (*relu6)(float* out, int32_t count, const float* in);
    void (*sigmoid_fast)(float* out, int32_t count, const float* in);
    void (*swish)(float* out, int32_t count, const float* in);
    void (*leaky_relu)(float* out, int32_t count, const float* in, float alpha);
    void (*prelu)(float* out, int32_t rows, const float* in, int32_t k, const float* slope);
};

/* The widest table the CPU has (cpu_isa.h, chosen once per process), or NULL
 * (not x86-64, or no AVX2): the callers then take their portable bodies. */
const eltwise_wide_table* eltwise_wide(void);

const eltwise_wide_table* eltwise_table_avx2(void);
const eltwise_wide_table* eltwise_table_avx512(void);

/* True when out is a or lies apart from it over count elements. */
inline bool eltwise_vector_safe(const void* out, const void* a, size_t count, size_t element)
{
    const char* o = static_cast<const char*>(out);
    const char* p = static_cast<const char*>(a);
    const size_t n = count * element;
    return o == p || o + n <= p || p + n <= o;
}

} // namespace kestrune

#endif
