/* Portable bodies of the kernels that also have a NEON body, and the internal
 * kernels the operators call beside the entries.  The portable bodies are
 * compiled on every target so the two can be compared. */
#ifndef KESTRUNE_KERNELS_PORTABLE_H
#define KESTRUNE_KERNELS_PORTABLE_H

#include <stdint.h>

#include "kestrune/nn.h"

#ifdef __cplusplus
extern "C" {
#endif

void relu_f32_portable(float* out, int32_t count, const float* in);
void relu6_f32_portable(float* out, int32_t count, const float* in);
void sigmoid_fast_f32_portable(float* out, int32_t count, const float* in);
void swish_f32_portable(float* out, int32_t count, const float* in);
void leaky_relu_f32_portable(float* out, int32_t count, const float* in, float alpha);
void prelu_f32_portable(float* out, int32_t rows, const float* in, int32_t k, const float* slope);

void add_f32_portable(float* out, int32_t count, const float* a, const float* b);
void subtract_f32_portable(float* out, int32_t count, const float* a, const float* b);
void multiply_f32_portable(float* out, int32_t count, const float* a, const float* b);
void divide_f32_portable(float* out, int32_t count, const float* a, const float* b);
void add_scalar_f32_portable(float* out, int32_t count, const float* a, float v);
void subtract_scalar_f32_portable(float* out, int32_t count, const float* a, float v);
void multiply_scalar_f32_portable(float* out, int32_t count, const float* a, float v);
void divide_scalar_f32_portable(float* out, int32_t count, const float* a, float v);
void add_scalar_rev_f32_portable(float* out, int32_t count, float v, const float* b);
void subtract_scalar_rev_f32_portable(float* out, int32_t count, float v, const float* b);
void multiply_scalar_rev_f32_portable(float* out, int32_t count, float v, const float* b);
void divide_scalar_rev_f32_portable(float* out, int32_t count, float v, const float* b);
void bias_add_i32_portable(int32_t* out, int32_t count, const int32_t* a, const int32_t* b);

/* value op b[i] for the operation code (0 add, 1 subtract, 2 multiply,
 * 3 divide): the single left operand of the broadcasting cases. */
void binary_value_first_f32(int op, float* out, int32_t count, float value, const float* b);

void swish_quant_generic(void* out, int32_t count, const void* in, const nn_quant_params* out_q,
                         const nn_quant_params* in_q);
void leaky_relu_quant_generic(void* out, int32_t count, const void* in,
                              const nn_quant_params* out_q, const nn_quant_params* in_q,
                              float alpha);
void swish_i8_portable(int8_t* out, int32_t count, const int8_t* in,
                       const nn_quant_params* out_q, const nn_quant_params* in_q);
void leaky_relu_i8_portable(int8_t* out, int32_t count, const int8_t* in,
                            const nn_quant_params* out_q, const nn_quant_params* in_q,
                            float alpha);

/* The generic quantised kernel of an operation code, whatever the types. */
void binary_quant_generic(int op, void* out, int32_t count, const void* a, const void* b,
                          const nn_quant_params* a_q, const nn_quant_params* b_q,
                          const nn_quant_params* out_q);
/* array op value, or value op array when value_first is set. */
void binary_scalar_quant(int op, int value_first, void* out, int32_t count, const void* array,
                         const void* value, const nn_quant_params* array_q,
                         const nn_quant_params* value_q, const nn_quant_params* out_q);
void add_i8_portable(int8_t* out, int32_t count, const int8_t* a, const int8_t* b,
                     const nn_quant_params* a_q, const nn_quant_params* b_q,
                     const nn_quant_params* out_q);
void multiply_i8_portable(int8_t* out, int32_t count, const int8_t* a, const int8_t* b,
                          const nn_quant_params* a_q, const nn_quant_params* b_q,
                          const nn_quant_params* out_q);

void requantize_i8_kernel_portable(int8_t* out, int32_t count, const int32_t* in,
                                   int32_t activation, const nn_quant_params* out_q,
                                   const nn_quant_params* in_q, const int32_t* multipliers,
                                   const int32_t* shifts);

void maxpool_f32_portable(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                          const float* in, int32_t pad_left, int32_t rows, int32_t kw);
void avgpool_f32_portable(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                          const float* in, int32_t pad_left, int32_t rows, int32_t kw);

#ifdef __cplusplus
}
#endif

#endif
