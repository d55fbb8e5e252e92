/* Internal variants of the convolution operators and what they share. */
#ifndef KESTRUNE_OPS_CONV_INTERNAL_H
#define KESTRUNE_OPS_CONV_INTERNAL_H

#include <stdint.h>

#include "kestrune/nn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Geometry of one call: input [N, H, W, Cin], output [N, OH, OW, Cout],
 * filter [KH, KW, Cin, Cout] (depthwise: [KH, KW, 1, CH]). */
typedef struct conv_geom {
    int32_t n, h, w, cin;
    int32_t oh, ow, cout;
    int32_t kh, kw;
    int32_t sh, sw;          /* strides[1], strides[2] */
    int32_t top, left, right; /* padding[2], padding[4], padding[5] */
    int32_t dh, dw;          /* dilations[1], dilations[2] */
} conv_geom;

void conv_geom_read(conv_geom* g, const nn_tensor* output, const nn_tensor* input,
                    const nn_tensor* filter, const int32_t* strides, const int32_t* padding,
                    const int32_t* dilations);

int nn_conv_1x1(nn_tensor* output, nn_tensor* input, nn_tensor* filter, nn_tensor* bias,
                int32_t activation);
int nn_conv_gemm(nn_tensor* output, nn_tensor* cache, nn_tensor* input, nn_tensor* filter,
                 nn_tensor* bias, const int32_t* strides, const int32_t* padding,
                 const int32_t* dilations, int32_t groups, int32_t activation);
int nn_conv2d_direct(nn_tensor* output, nn_tensor* input, nn_tensor* filter, nn_tensor* bias,
                     const int32_t* strides, const int32_t* padding, int32_t activation);
int nn_conv_depthwise(nn_tensor* output, nn_tensor* cache, nn_tensor* input, nn_tensor* filter,
                      nn_tensor* bias, const int32_t* strides, const int32_t* padding,
                      const int32_t* dilations, int32_t activation);

/* The filter in [KH, KW, Cin, Cout] order: the filter itself, or for a
 * pre-packed filter its unpacked copy "filter_aux_unpacked" (built once).
 * NULL with *status set on failure. */
nn_tensor* conv_filter_unpacked(nn_tensor* filter, const char* label, int* status);

/* Attaches a tensor to t under a heap copy of the name (freed with the
 * tensor by nn_aux_free_tensor); on failure the tensor is released and 3
 * returned. */
int conv_attach_tensor(nn_tensor* t, const char* name, nn_tensor* object);

/* The activations the quantised kernels do not fuse (sigmoid, fast sigmoid,
 * tanh), applied to the output in place by their operators; 0 for others. */
int conv_quantised_activation(nn_tensor* output, int32_t activation);

/* 1 when a pre-packed panel width w (0: none) suits the GEMM kernels for
 * these operands and divides Cout. */
int conv_panel_ok(uint32_t w, const nn_tensor* output, const nn_tensor* input,
                  const nn_tensor* filter);

/* 1 when the insufficient-cache warning has been printed in this process. */
int conv_cache_warning_printed(void);

/* 1 when every coordinate of a window walk, position * stride - pad +
 * tap * dilation over `count` positions and `taps` taps, fits in 32 bits
 * (stride and dilation at least 1, pad at least 0). */
int conv_reach_ok(int32_t count, int32_t stride, int32_t taps, int32_t dilation);

#ifdef __cplusplus
}
#endif

#endif
