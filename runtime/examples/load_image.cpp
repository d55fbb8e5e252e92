/* Loads an image file into a FLOAT32 [1, 224, 224, 3] tensor with the
 * "normalize" processing and prints the tensor's shape, its first values and
 * the index and value of its largest element.
 *
 *     load_image picture.jpg
 */
#include <stdio.h>

#include <memory>

#include "kestrune/nn.h"

namespace {

struct TensorRelease {
    void operator()(nn_tensor* t) const noexcept { nn_tensor_release(t); }
};
/* The tensor is released on every way out of main. */
using Tensor = std::unique_ptr<nn_tensor, TensorRelease>;

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s IMAGE\n", argv[0]);
        return 2;
    }
    const int32_t shape[] = {1, 224, 224, 3};
    Tensor t(nn_tensor_init(nullptr, nullptr));
    if (!t) {
        fprintf(stderr, "out of memory\n");
        return 1;
    }
    int err = nn_tensor_alloc(t.get(), NN_TYPE_F32, 4, shape);
    if (!err)
        err = nn_tensor_load_file_ex(t.get(), argv[1], NN_IMAGE_PROC_NORMALIZE);
    if (err) {
        fprintf(stderr, "cannot load %s: %s\n", argv[1], nn_strerror(err));
        return 1;
    }

    printf("shape: ");
    nn_tensor_printf(t.get(), false, stdout);
    printf("\nfirst values:");
    const float* v = static_cast<const float*>(nn_tensor_mapro(t.get()));
    for (int i = 0; v && i < 12; ++i)
        printf(" %.4f", v[i]);
    nn_tensor_unmap(t.get());
    printf("\n");

    int index = 0;
    float score = 0.0f;
    err = nn_argmax(t.get(), &index, &score, sizeof score);
    if (err)
        printf("argmax: %s\n", nn_strerror(err));
    else
        printf("argmax: %d (%.4f)\n", index, score);
    return 0;
}
