/* The frame's float activation dispatcher and the float GEMM panel widths. */
#include "kernels/kernels.h"
#include "ops/frame.h"

void apply_activation(float* out, uint32_t count, const float* in, int activation)
{
    /* Counts are handed to the kernels in pieces that fit their signed count. */
    while (count > 0) {
        int32_t n = count > (uint32_t)INT32_MAX ? INT32_MAX : (int32_t)count;
        switch (activation) {
        case NN_RELU: kernel_relu_f32(out, n, in); break;
        case NN_RELU6: kernel_relu6_f32(out, n, in); break;
        case NN_SIGMOID: kernel_sigmoid_f32(out, n, in); break;
        case NN_SIGMOID_FAST: kernel_sigmoid_fast_f32(out, n, in); break;
        case NN_TANH: kernel_tanh_f32(out, n, in); break;
        default: return;
        }
        out += n;
        in += n;
        count -= (uint32_t)n;
    }
}

int gemm_panel_widths(const int** widths)
{
    static const int list[] = {16, 8, 4, 0};
    if (widths)
        *widths = list;
    return 4;
}
