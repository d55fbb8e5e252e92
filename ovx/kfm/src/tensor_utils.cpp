/* Element counts, top-1 and picture loading on the tensors of a built graph. */
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "builder.h"
#include "image_codec.h"

namespace ovx {
namespace {

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
struct ImageDeleter {
    void operator()(uint8_t* p) const { plugin::codec::free_pixels(p); }
};
using Bytes = std::unique_ptr<uint8_t, FreeDeleter>;
using Image = std::unique_ptr<uint8_t, ImageDeleter>;

// Target picture geometry of an input tensor (0 where the tensor has no
// such dimension).
struct Geometry {
    uint32_t width = 0, height = 0, channels = 0;
};

Geometry geometry_of(const ovxlib_tensor_attr& a)
{
    const uint32_t d = a.dim_count < OVXLIB_MAX_DIMS ? a.dim_count : OVXLIB_MAX_DIMS;
    auto size = [&](uint32_t i) { return i < d ? a.sizes[i] : 0u; };
    Geometry g;
    if (a.fmt == OVXLIB_FMT_NHWC) {
        g.height = d >= 2 ? a.sizes[d - 2] : 0;
        g.width = d >= 3 ? a.sizes[d - 3] : 0;
        g.channels = d >= 4 ? a.sizes[d - 4] : 0;
    } else {
        g.width = size(0);
        g.height = size(1);
        g.channels = size(2);
    }
    return g;
}

// The picture as volume bytes of the target geometry: decoded, and resampled
// when its size differs.
Bytes picture_bytes(const uint8_t* data, size_t length, const Geometry& g, size_t volume)
{
    int width = 0, height = 0;
    Image image(plugin::codec::decode(data, static_cast<int>(length), static_cast<int>(g.channels), &width, &height));
    if (!image)
        return nullptr;
    Bytes out(static_cast<uint8_t*>(malloc(volume)));
    if (!out)
        return nullptr;
    if (static_cast<uint32_t>(width) == g.width && static_cast<uint32_t>(height) == g.height) {
        memcpy(out.get(), image.get(), volume);
    } else if (!plugin::codec::resize(image.get(), width, height, out.get(), static_cast<int>(g.width),
                             static_cast<int>(g.height), static_cast<int>(g.channels))) {
        return nullptr;
    }
    return out;
}

} // namespace
} // namespace ovx

using namespace ovx;

extern "C" OVX_KFM_API uint32_t vsi_nn_tensor_volume(const ovxlib_tensor* tensor)
{
    if (!tensor)
        return 0;
    const uint32_t d = tensor->attr.dim_count < OVXLIB_MAX_DIMS ? tensor->attr.dim_count : OVXLIB_MAX_DIMS;
    uint32_t volume = 1;
    for (uint32_t i = 0; i < d; ++i)
        volume *= tensor->attr.sizes[i];
    return volume;
}

extern "C" OVX_KFM_API uint32_t vsi_nn_tensor_bytes(const ovxlib_tensor* tensor)
{
    if (!tensor)
        return 0;
    return vx_element_size(tensor->attr.type) * vsi_nn_tensor_volume(tensor);
}

extern "C" OVX_KFM_API int vsi_nn_argmax(ovxlib_graph* graph, ovxlib_tensor* tensor, int32_t* index,
                                         float* score, size_t score_size)
{
    if (!tensor)
        return -1;
    uint8_t* host = vsi_nn_ConvertTensorToData(graph, tensor);
    if (!host)
        return -1;
    const uint32_t n = vsi_nn_tensor_volume(tensor);
    uint32_t best = 0;
    float best_score = 0.0f;
    switch (tensor->attr.type) {
    case OVXLIB_TYPE_FLOAT32: {
        float max = 0.0f;
        for (uint32_t i = 0; i < n; ++i) {
            float v;
            memcpy(&v, host + 4 * static_cast<size_t>(i), sizeof v);
            if (i == 0 || v > max) {
                max = v;
                best = i;
            }
        }
        best_score = max;
        break;
    }
    case OVXLIB_TYPE_UINT8: {
        uint8_t max = 0;
        for (uint32_t i = 0; i < n; ++i)
            if (i == 0 || host[i] > max) {
                max = host[i];
                best = i;
            }
        best_score = static_cast<float>(max) / 256.0f;
        break;
    }
    case OVXLIB_TYPE_INT8: {
        int8_t max = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const int8_t v = static_cast<int8_t>(host[i]);
            if (i == 0 || v > max) {
                max = v;
                best = i;
            }
        }
        best_score = static_cast<float>(max + 128) / 256.0f;
        break;
    }
    default:
        break;
    }
    vsi_nn_Free(host);
    if (index)
        *index = static_cast<int32_t>(best);
    if (!score)
        return 0;
    if (score_size < sizeof(float))
        return -1;
    *score = best_score;
    return 0;
}

extern "C" OVX_KFM_API int vsi_nn_tensor_load_image(ovxlib_graph* graph, ovxlib_tensor* tensor,
                                                    const uint8_t* data, size_t length, int flags)
{
    if (!data || length >= (size_t{1} << 31) || !tensor)
        return -1;
    const Geometry g = geometry_of(tensor->attr);
    const uint32_t volume = vsi_nn_tensor_volume(tensor);
    // The decoded picture fills exactly the tensor: no channels, or a batch
    // above 1, would leave it short.
    if (volume == 0 || static_cast<uint64_t>(g.width) * g.height * g.channels != volume || g.channels > 4)
        return -1;
    const int32_t type = tensor->attr.type;
    if (type == OVXLIB_TYPE_UINT8 || type == OVXLIB_TYPE_INT8) {
        if (flags != 0)
            return -1;
        Bytes pixels = picture_bytes(data, length, g, volume);
        if (!pixels)
            return -1;
        return vsi_nn_CopyDataToTensor(graph, tensor, pixels.get()) == 0 ? 0 : -1;
    }
    if (type != OVXLIB_TYPE_FLOAT32)
        return -1;
    Bytes pixels = picture_bytes(data, length, g, volume);
    if (!pixels)
        return -1;
    std::unique_ptr<float, FreeDeleter> values(static_cast<float*>(malloc(vsi_nn_tensor_bytes(tensor))));
    if (!values)
        return -1;
    float* x = values.get();
    for (uint32_t i = 0; i < volume; ++i)
        x[i] = static_cast<float>(pixels.get()[i]);
    if (flags & NN_IMAGE_PROC_NORMALIZE)
        for (uint32_t i = 0; i < volume; ++i)
            x[i] *= 0.003921569f;
    if (flags & NN_IMAGE_PROC_SIGNED_NORMALIZE)
        for (uint32_t i = 0; i < volume; ++i)
            x[i] = x[i] * 0.007843138f - 1.0f;
    if (flags & NN_IMAGE_PROC_WHITENING) {
        double sum = 0.0, squares = 0.0;
        for (uint32_t i = 0; i < volume; ++i) {
            sum += x[i];
            squares += static_cast<double>(x[i]) * x[i];
        }
        const double mean = sum / volume;
        const double variance = squares / volume - mean * mean;
        const double floor = 1.0 / sqrt(static_cast<double>(volume));
        const double spread = variance > floor * floor ? sqrt(variance) : floor;
        for (uint32_t i = 0; i < volume; ++i)
            x[i] = static_cast<float>((x[i] - mean) / spread);
    }
    return vsi_nn_CopyDataToTensor(graph, tensor, x) == 0 ? 0 : -1;
}
