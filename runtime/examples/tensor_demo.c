/* Fills a tensor, reshapes it, quantizes it to UINT8 and dequantizes it back,
 * printing the tensor after each step. */
#include <stdio.h>
#include <stdlib.h>

#include "kestrune/nn.h"

static int check(int status, const char* what)
{
    if (status != 0)
        fprintf(stderr, "%s failed: %s\n", what, nn_strerror(status));
    return status;
}

static void show(const char* title, nn_tensor* t)
{
    printf("%-12s", title);
    nn_tensor_printf(t, true, stdout);
    printf("\n");
}

int main(void)
{
    const int32_t shape[2] = {2, 6};
    const int32_t square[2] = {-1, 4};
    nn_tensor* values = nn_tensor_init(NULL, NULL);
    nn_tensor* quantized = nn_tensor_init(NULL, NULL);
    nn_tensor* restored = nn_tensor_init(NULL, NULL);
    int status = 1;
    if (!values || !quantized || !restored)
        goto done;

    if (check(nn_tensor_alloc(values, NN_TYPE_F32, 2, shape), "alloc") ||
        check(nn_tensor_fill(values, 0.75), "fill"))
        goto done;
    /* Make the values differ so the round trip shows its steps. */
    float* v = nn_tensor_maprw(values);
    for (int i = 0; v && i < nn_tensor_volume(values); ++i)
        v[i] = v[i] * (float)(i - 5);
    nn_tensor_unmap(values);
    show("filled", values);

    if (check(nn_tensor_reshape(values, 2, square), "reshape"))
        goto done;
    show("reshaped", values);

    /* Per-tensor parameters: zero point 128, scale 1/32. */
    int32_t* zero = malloc(sizeof *zero);
    float* scale = malloc(sizeof *scale);
    if (!zero || !scale) {
        free(zero);
        free(scale);
        goto done;
    }
    *zero = 128;
    *scale = 1.0f / 32.0f;
    nn_tensor_set_zeros(quantized, 1, zero, 1);
    nn_tensor_set_scales(quantized, 1, scale, 1);
    if (check(nn_tensor_alloc(quantized, NN_TYPE_U8, 2, nn_tensor_shape(values)), "alloc") ||
        check(nn_tensor_quantize(quantized, values, 1), "quantize"))
        goto done;
    show("quantized", quantized);

    if (check(nn_tensor_alloc(restored, NN_TYPE_F32, 2, nn_tensor_shape(values)), "alloc") ||
        check(nn_tensor_dequantize(restored, quantized), "dequantize"))
        goto done;
    show("dequantized", restored);
    status = 0;

done:
    nn_tensor_release(restored);
    nn_tensor_release(quantized);
    nn_tensor_release(values);
    return status;
}
