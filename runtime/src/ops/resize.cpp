/* Nearest-neighbour enlargement of NHWC images, one OpenMP region per image. */
#include <stdio.h>
#include <string.h>

#include "ops/frame.h"
#include "platform.h"
#include "tensor/tensor_record.h"

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

typedef struct resize_args {
    const char* in;
    char* out;
    int32_t ih, iw, oh, ow, ch;
    float rw, rh;
} resize_args;

/* Source row or column of an output one, clamped to the input. */
static inline int32_t source_index(int32_t o, float ratio, int32_t extent)
{
    int32_t s = (int32_t)((float)o / ratio);
    return s < extent - 1 ? (s < 0 ? 0 : s) : extent - 1;
}

namespace {

/* n elements of T (one or four bytes) from s to d. */
template <typename T>
inline void copy_elements(T* d, const T* s, int32_t n)
{
    static_assert(sizeof(T) == 1 || sizeof(T) == 4, "bytes or words");
    int32_t i = 0;
#ifdef __ARM_NEON
    if constexpr (sizeof(T) == 1) {
        for (; i + 16 <= n; i += 16)
            vst1q_u8(d + i, vld1q_u8(s + i));
        for (; i + 8 <= n; i += 8)
            vst1_u8(d + i, vld1_u8(s + i));
    } else {
        for (; i + 4 <= n; i += 4)
            vst1q_u32(d + i, vld1q_u32(s + i));
    }
#endif
    for (; i < n; ++i)
        d[i] = s[i];
}

/* This thread's output rows of one image, T the element's bytes. */
template <typename T>
void resize_worker(const resize_args* w)
{
    nn_row_range r = nn_thread_rows(w->oh);
    const T* in = reinterpret_cast<const T*>(w->in);
    T* out = reinterpret_cast<T*>(w->out);
    for (int64_t oy = r.begin; oy < r.begin + r.count; ++oy) {
        int32_t sy = source_index((int32_t)oy, w->rh, w->ih);
        for (int32_t ox = 0; ox < w->ow; ++ox) {
            int32_t sx = source_index(ox, w->rw, w->iw);
            copy_elements(out + (oy * w->ow + ox) * (int64_t)w->ch,
                          in + ((int64_t)sy * w->iw + sx) * w->ch, w->ch);
        }
    }
}

} // namespace

NN_API int nn_resize(nn_tensor* output, nn_tensor* input, uint32_t mode, int align_corners)
{
    (void)align_corners;
    if (!output || !input)
        return NN_ERROR_MISSING_RESOURCE;
    if (output->type != input->type)
        return NN_ERROR_TYPE_MISMATCH;
    if (output == input) {
        fprintf(stderr, "nn_resize cannot have same input and output tensors\n");
        return NN_ERROR_INVALID_PARAMETER;
    }
    kestrune::ReadMap in_map(input);
    if (!in_map)
        return NN_ERROR_TENSOR_NO_DATA;
    kestrune::ReadWriteMap out_map(output);
    if (!out_map)
        return NN_ERROR_TENSOR_NO_DATA;
    const char* x = in_map.as<char>();
    char* o = out_map.as<char>();
    const int32_t *is = input->shape, *os = output->shape;
    if (is[0] != os[0] || is[3] != os[3])
        return NN_ERROR_SHAPE_MISMATCH;
    int64_t start = clock_now_ns();
    uint32_t t = input->type;
    int bytes = t == NN_TYPE_I8 || t == NN_TYPE_U8;
    int words = t == NN_TYPE_I32 || t == NN_TYPE_U32 || t == NN_TYPE_F32;
    size_t es = bytes ? 1 : 4;
    resize_args w;
    w.ih = is[1];
    w.iw = is[2];
    w.oh = os[1];
    w.ow = os[2];
    w.ch = os[3];
    w.rw = (float)w.ow / (float)w.iw;
    w.rh = (float)w.oh / (float)w.ih;
    int status = 0;
    for (int32_t n = 0; n < os[0]; ++n) {
        status = NN_ERROR_NOT_IMPLEMENTED;
        if (w.ih <= w.oh && w.iw <= w.ow && mode <= 1 && (bytes || words) && w.ih > 0 &&
            w.iw > 0) {
            w.in = x + (int64_t)n * w.ih * w.iw * w.ch * (int64_t)es;
            w.out = o + (int64_t)n * w.oh * w.ow * w.ch * (int64_t)es;
            const int team =
                nn_team_for((int64_t)w.oh * w.ow * w.ch * (int64_t)es, NN_GRAIN_BYTES);
            if (bytes) {
#pragma omp parallel num_threads(team)
                resize_worker<uint8_t>(&w);
            } else {
#pragma omp parallel num_threads(team)
                resize_worker<uint32_t>(&w);
            }
            status = 0;
        }
    }
    op_store_time(output, start);
    return status;
}
