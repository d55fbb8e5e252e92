// Timing of the image paths against references measured in the same run:
//   rgba_to_float  the frame loader's RGBA-to-FLOAT32 conversion of 640x480
//                  against a plain scalar loop compiled here;
//   load_image     nn_tensor_load_image_ex of a 640x480 PNG into
//                  [1, 224, 224, 3] against stbi_load_from_memory plus
//                  stbir_resize_uint8 alone.
// Prints the best-of-runs time of each and the ratio (lower is better).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>
#include <vector>

#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>

#include "image/image_convert.h"
#include "image_fixtures.h"
#include "kestrune/nn.h"

namespace {

// Decode and resize only, with the runtime's own compilation of stb: what the
// image loader adds nothing to but the conversion to floats.
int bench_decode_resize(const unsigned char* png, size_t size, unsigned char* out, int ow, int oh)
{
    int w, h, c;
    unsigned char* px = stbi_load_from_memory(png, int(size), &w, &h, &c, 3);
    if (!px)
        return 0;
    int ok = stbir_resize_uint8(px, w, h, 0, out, ow, oh, 0, 3);
    stbi_image_free(px);
    return ok;
}

volatile float sink;

double batch_us(const std::function<void()>& f, int reps)
{
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < reps; ++i)
        f();
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::micro>(t1 - t0).count() / reps;
}

// Best time per call in microseconds of each function over `runs` batches of
// `reps` calls, the two measured in turn so that load changes hit both.
std::pair<double, double> best_pair_us(const std::function<void()>& a,
                                       const std::function<void()>& b, int reps, int runs = 9)
{
    a();
    b();
    double best_a = 1e300, best_b = 1e300;
    for (int r = 0; r < runs; ++r) {
        best_a = std::min(best_a, batch_us(a, reps));
        best_b = std::min(best_b, batch_us(b, reps));
    }
    return {best_a, best_b};
}

__attribute__((noinline)) void scalar_rgba_to_float(float* dst, const uint8_t* rgba, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        dst[3 * i] = rgba[4 * i];
        dst[3 * i + 1] = rgba[4 * i + 1];
        dst[3 * i + 2] = rgba[4 * i + 2];
    }
}

void report(const char* name, double ours, double reference)
{
    std::printf("%-14s %10.1f us   reference %10.1f us   ratio %.3f\n", name, ours, reference,
                ours / reference);
}

}  // namespace

int main()
{
    const int w = 640, h = 480;
    const size_t pixels = size_t(w) * h;

    std::vector<uint8_t> rgba(pixels * 4);
    for (size_t i = 0; i < rgba.size(); ++i)
        rgba[i] = uint8_t((i * 131 + 7) >> 3);
    std::vector<float> out(pixels * 3);
    auto conv = best_pair_us([&] { nn_image_rgba_to_float(out.data(), rgba.data(), pixels); sink = out[5]; },
                             [&] { scalar_rgba_to_float(out.data(), rgba.data(), pixels); sink = out[5]; }, 50);
    report("rgba_to_float", conv.first, conv.second);

    // A photo-like PNG: smooth gradients with some texture.
    std::vector<uint8_t> rgb(pixels * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                rgb[(size_t(y) * w + x) * 3 + c] = uint8_t((x * (c + 1) + y * (3 - c) + ((x * y) % 17)) & 0xff);
    size_t png_size = 0;
    unsigned char* png = fixture_encode_png(rgb.data(), w, h, 3, &png_size);
    if (!png) {
        std::fprintf(stderr, "cannot encode the PNG\n");
        return 1;
    }
    nn_tensor* t = nn_tensor_init(nullptr, nullptr);
    const int32_t shape[] = {1, 224, 224, 3};
    nn_tensor_alloc(t, NN_TYPE_F32, 4, shape);
    std::vector<unsigned char> resized(224 * 224 * 3);
    int status = 0;
    auto load = best_pair_us(
        [&] { status |= nn_tensor_load_image_ex(t, png, png_size, NN_IMAGE_PROC_NORMALIZE); },
        [&] { status |= !bench_decode_resize(png, png_size, resized.data(), 224, 224); }, 10);
    report("load_image", load.first, load.second);
    nn_tensor_release(t);
    std::free(png);
    if (status) {
        std::fprintf(stderr, "a load failed\n");
        return 1;
    }
    return 0;
}
