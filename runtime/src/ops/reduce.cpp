/* The five FLOAT32 reductions over a run of consecutive axes.  No engine slot,
 * no parallel region, no time field. */
#include <string.h>

#include "kernels/kernels.h"
#include "ops/frame.h"
#include "tensor/tensor_record.h"

typedef void (*reduce_fn)(float*, int32_t, int32_t, int32_t, int32_t, const float*, int32_t,
                          int32_t, int32_t);

static int reduce_op(nn_tensor* out, nn_tensor* in, int count, const int32_t* axes, reduce_fn fn)
{
    if (!out || !in)
        return NN_ERROR_INVALID_PARAMETER;
    const int dims = in->dims;
    int keep_dims = dims;
    int32_t keep_shape[4];
    memcpy(keep_shape, in->shape, sizeof keep_shape);

    int64_t outer = 1, reduce = 1, inner = 1;
    if (axes) {
        if (count <= 0)
            return NN_ERROR_INVALID_PARAMETER;
        for (int i = 0; i < count; ++i) {
            int32_t ax = axes[i];
            if (ax < 0 || ax > dims || ax > 3 || (i > 0 && ax != axes[i - 1] + 1))
                return NN_ERROR_INVALID_PARAMETER;
        }
        int first = axes[0], last = axes[count - 1];
        for (int k = 0; k < 4; ++k) {
            int64_t e = k < dims ? in->shape[k] : 1;
            if (k < first)
                outer *= e;
            else if (k <= last)
                reduce *= e;
            else
                inner *= e;
        }
    } else {
        reduce = nn_tensor_volume(in);
    }
    if (in->type != NN_TYPE_F32 || out->type != NN_TYPE_F32)
        return NN_ERROR_TYPE_MISMATCH;
    if ((int64_t)nn_tensor_volume(out) < outer * inner)
        return NN_ERROR_SHAPE_MISMATCH;

    int32_t view[3] = {(int32_t)outer, (int32_t)reduce, (int32_t)inner};
    if (int err = nn_tensor_reshape(in, 3, view))
        return err;
    /* The mappings are given back before the input's shape. */
    const int status = [&] {
        kestrune::OutInMaps maps(out, in);
        if (maps.status())
            return maps.status();
        fn(maps.out.as<float>(), nn_tensor_volume(in), in->strides[0], in->strides[1],
           in->strides[2], maps.in.as<float>(), view[0], view[1], view[2]);
        return 0;
    }();
    const int restored = nn_tensor_reshape(in, keep_dims, keep_shape);
    return status ? status : restored;
}

NN_API int nn_reduce_sum(nn_tensor* output, nn_tensor* input, int axis_count, const int32_t* axes)
{
    return reduce_op(output, input, axis_count, axes, kernel_reduce_sum_f32);
}
NN_API int nn_reduce_min(nn_tensor* output, nn_tensor* input, int axis_count, const int32_t* axes)
{
    return reduce_op(output, input, axis_count, axes, kernel_reduce_min_f32);
}
NN_API int nn_reduce_max(nn_tensor* output, nn_tensor* input, int axis_count, const int32_t* axes)
{
    return reduce_op(output, input, axis_count, axes, kernel_reduce_max_f32);
}
NN_API int nn_reduce_mean(nn_tensor* output, nn_tensor* input, int axis_count,
                          const int32_t* axes)
{
    return reduce_op(output, input, axis_count, axes, kernel_reduce_mean_f32);
}
NN_API int nn_reduce_product(nn_tensor* output, nn_tensor* input, int axis_count,
                             const int32_t* axes)
{
    return reduce_op(output, input, axis_count, axes, kernel_reduce_product_f32);
}
