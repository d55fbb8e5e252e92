#include "plugin_image.h"

#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "image_codec.h"

namespace {

struct PixelsFree {
    void operator()(uint8_t* pixels) const noexcept { plugin::codec::free_pixels(pixels); }
};
using Pixels = std::unique_ptr<uint8_t, PixelsFree>;

struct BlockFree {
    void operator()(uint8_t* block) const noexcept { free(block); }
};
using Block = std::unique_ptr<uint8_t, BlockFree>;

size_t element_size(plugin_element element)
{
    return element == PLUGIN_ELEMENT_FLOAT32 ? 4 : 1;
}

/* One stored value per pixel byte, in the target's layout: `to(i, x)` gets
 * the destination index of byte i and the byte. */
template <typename Store>
void store(const plugin_image_target& t, const uint8_t* pixels, size_t count, Store to)
{
    if (t.layout == PLUGIN_LAYOUT_NHWC) {
        for (size_t i = 0; i < count; ++i)
            to(i, pixels[i]);
        return;
    }
    const size_t channels = static_cast<size_t>(t.channels);
    const size_t plane = count / channels;
    for (size_t p = 0; p < plane; ++p)
        for (size_t c = 0; c < channels; ++c)
            to(c * plane + p, pixels[p * channels + c]);
}

void store_floats(const plugin_image_target& t, const uint8_t* pixels, size_t count, uint32_t flags)
{
    float* out = static_cast<float*>(t.data);
    if (flags & PLUGIN_IMAGE_NORMALIZE) {
        store(t, pixels, count, [out](size_t i, uint8_t x) { out[i] = static_cast<float>(x) * 0.003921569f; });
    } else if (flags & PLUGIN_IMAGE_SIGNED_NORMALIZE) {
        store(t, pixels, count,
              [out](size_t i, uint8_t x) { out[i] = static_cast<float>(x) * 0.007843138f - 1.0f; });
    } else if (flags & PLUGIN_IMAGE_WHITENING) {
        double sum = 0.0, squares = 0.0;
        for (size_t i = 0; i < count; ++i) {
            sum += pixels[i];
            squares += static_cast<double>(pixels[i]) * pixels[i];
        }
        const double n = static_cast<double>(count);
        const double mean = sum / n;
        const double variance = squares / n - mean * mean;
        const double floor = 1.0 / sqrt(n);
        const double deviation = variance > floor * floor ? sqrt(variance) : floor;
        store(t, pixels, count, [out, mean, deviation](size_t i, uint8_t x) {
            out[i] = static_cast<float>((x - mean) / deviation);
        });
    } else {
        store(t, pixels, count, [out](size_t i, uint8_t x) { out[i] = static_cast<float>(x); });
    }
}

} // namespace

int plugin_image_load(const plugin_image_target* target, const void* data, size_t length, uint32_t flags)
{
    if (!target || !data || length > INT_MAX)
        return 6;
    const plugin_image_target& t = *target;
    if (t.channels < 1 || t.channels > 4 || t.height < 1 || t.width < 1)
        return 6;
    if (t.element != PLUGIN_ELEMENT_UINT8 && t.element != PLUGIN_ELEMENT_INT8 && t.element != PLUGIN_ELEMENT_FLOAT32)
        return 16;
    if (t.element != PLUGIN_ELEMENT_FLOAT32 && flags != 0)
        return 5;
    int width = 0, height = 0;
    Pixels decoded(plugin::codec::decode(static_cast<const uint8_t*>(data), static_cast<int>(length), t.channels,
                                         &width, &height));
    if (!decoded)
        return 1;
    /* The destination must hold height x width x channels elements. */
    const uint64_t h = static_cast<uint64_t>(t.height), w = static_cast<uint64_t>(t.width);
    const uint64_t c = static_cast<uint64_t>(t.channels);
    const uint64_t elements = h * w * c; /* each factor below 2^31: no wrap */
    if (!t.data || elements > SIZE_MAX / 4 || elements * element_size(t.element) > t.capacity)
        return 14;
    const size_t count = static_cast<size_t>(elements);
    const uint8_t* pixels = decoded.get();
    Block resized;
    if (width != t.width || height != t.height) {
        resized.reset(static_cast<uint8_t*>(malloc(count)));
        if (!resized)
            return 3;
        if (!plugin::codec::resize(decoded.get(), width, height, resized.get(), t.width, t.height, t.channels))
            return 1;
        pixels = resized.get();
    }
    switch (t.element) {
    case PLUGIN_ELEMENT_UINT8: {
        uint8_t* out = static_cast<uint8_t*>(t.data);
        store(t, pixels, count, [out](size_t i, uint8_t x) { out[i] = x; });
        break;
    }
    case PLUGIN_ELEMENT_INT8: {
        int8_t* out = static_cast<int8_t*>(t.data);
        store(t, pixels, count, [out](size_t i, uint8_t x) { out[i] = static_cast<int8_t>(x - 128); });
        break;
    }
    default:
        store_floats(t, pixels, count, flags);
        break;
    }
    return 0;
}
