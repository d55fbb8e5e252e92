/* Data-moving operations: copy, pad, concatenate, slice and shuffle. */
#include <stdio.h>
#include <string.h>

#include "resource.h"
#include "core/engine_rule.h"
#include "core/types.h"
#include "platform.h"
#include "tensor/tensor_internal.h"

namespace {

/* An element size known at compile time (Fixed) or, for Fixed 0, at run time. */
template <size_t Fixed>
struct ElementSize {
    size_t runtime;
    constexpr operator size_t() const noexcept { return Fixed ? Fixed : runtime; }
};

/* Maps dst read-write and src read-only, then runs body(out, in, size) with
 * the element size as a constant for 1, 2, 4 and 8 bytes, so that each
 * element moves as one fixed-size load and store. */
template <typename Body>
int move_elements(nn_tensor* dst, nn_tensor* src, Body&& body)
{
    kestrune::MappedPair maps(dst, src);
    if (!maps)
        return NN_ERROR_TENSOR_NO_DATA;
    unsigned char* out = maps.out.as<unsigned char>();
    const unsigned char* in = maps.in.as<unsigned char>();
    const size_t es = nn_type_size(src->type);
    switch (es) {
    case 1: body(out, in, ElementSize<1>{es}); break;
    case 2: body(out, in, ElementSize<2>{es}); break;
    case 4: body(out, in, ElementSize<4>{es}); break;
    case 8: body(out, in, ElementSize<8>{es}); break;
    default: body(out, in, ElementSize<0>{es}); break;
    }
    return NN_SUCCESS;
}

/* Whether the byte ranges [a, a + an) and [b, b + bn) share a byte: a model
 * may place a layer's output over its inputs in the pool. */
bool overlaps(const void* a, size_t an, const void* b, size_t bn)
{
    const uintptr_t pa = (uintptr_t)a, pb = (uintptr_t)b;
    return an && bn && pa < pb + bn && pb < pa + an;
}

} // namespace

int nn_tensor_copy(nn_tensor* dst, nn_tensor* src)
{
    if (!dst || !src)
        return NN_ERROR_INVALID_PARAMETER;
    nn_engine* engine = nn_shared_engine2(dst, src);
    if (engine && engine->copy) {
        int err = engine->copy(dst, src);
        if (err != NN_ERROR_NOT_IMPLEMENTED)
            return err;
    }
    if (dst->type != src->type)
        return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    kestrune::MappedPair maps(dst, src);
    if (!maps)
        return NN_ERROR_TENSOR_NO_DATA;
    const int vd = nn_tensor_volume(dst), vs = nn_tensor_volume(src);
    /* Views may share the buffer. */
    memmove(maps.out.data(), maps.in.data(), (size_t)(vd < vs ? vd : vs) * nn_type_size(dst->type));
    return NN_SUCCESS;
}

int nn_tensor_pad(nn_tensor* dst, nn_tensor* src, const int32_t* head, const int32_t* tail,
                  double value)
{
    if (!dst || !src || !head || !tail)
        return NN_ERROR_INVALID_PARAMETER;
    nn_engine* engine = nn_shared_engine2(dst, src);
    if (engine && engine->pad)
        return engine->pad(dst, src, head, tail, value);

    const int64_t start = clock_now_ns();
    if (dst->type != src->type)
        return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    if (head[1] < 0 || head[2] < 0 || tail[1] < 0 || tail[2] < 0)
        return NN_ERROR_INVALID_PARAMETER;
    const int64_t n = src->shape[0], h = src->shape[1], w = src->shape[2], c = src->shape[3];
    if (dst->shape[0] != n || dst->shape[3] != c ||
        dst->shape[1] != (int64_t)head[1] + h + tail[1] ||
        dst->shape[2] != (int64_t)head[2] + w + tail[2])
        return NN_ERROR_SHAPE_MISMATCH;

    /* Quantized sources pad with their zero point; without one, with 0.  A
     * 16- or 32-bit integer element holds the whole zero point (its low
     * byte repeated would be another value). */
    const int32_t zero = src->type != NN_TYPE_F32 && src->zeros && src->zeros_count >= 1 ? src->zeros[0] : 0;
    const int pad_byte = (uint8_t)zero;

    kestrune::ReadMap in_map(src);
    const unsigned char* in = in_map.as<unsigned char>();
    if (!in)
        return NN_ERROR_TENSOR_NO_DATA;
    kestrune::ReadWriteMap out_map(dst);
    unsigned char* out = out_map.as<unsigned char>();
    if (!out)
        return NN_ERROR_TENSOR_NO_DATA;
    const size_t es = nn_type_size(src->type);
    const bool wide_integer = zero != 0 && (src->type == NN_TYPE_I16 || src->type == NN_TYPE_U16 ||
                                            src->type == NN_TYPE_I32 || src->type == NN_TYPE_U32);
    /* `bytes` of padding at o: whole elements of the zero point. */
    auto fill = [&](unsigned char* o, size_t bytes) {
        if (!wide_integer) {
            memset(o, pad_byte, bytes);
        } else if (es == 2) {
            const uint16_t v = (uint16_t)zero;
            for (size_t k = 0; k + 2 <= bytes; k += 2)
                memcpy(o + k, &v, 2);
        } else {
            const uint32_t v = (uint32_t)zero;
            for (size_t k = 0; k + 4 <= bytes; k += 4)
                memcpy(o + k, &v, 4);
        }
    };
    const size_t dst_row = (size_t)dst->strides[1] * es;
    const size_t dst_col = (size_t)dst->strides[2] * es;
    const size_t src_row = (size_t)(w * c) * es;
    /* An output placed over the input would overwrite rows not yet read (the
     * padded rows are longer and start anywhere around the input): the
     * input is read from a copy of it then. */
    const size_t in_bytes =
        n > 0 ? (size_t)(n - 1) * (size_t)src->strides[0] * es + (size_t)h * src_row : 0;
    platform::unique_malloc<unsigned char[]> aside;
    if (overlaps(out, (size_t)n * (size_t)dst->strides[0] * es, in, in_bytes)) {
        aside = platform::malloc_array<unsigned char>(in_bytes);
        if (!aside)
            return NN_ERROR_OUT_OF_MEMORY;
        memcpy(aside.get(), in, in_bytes);
        in = aside.get();
    }
    for (int64_t b = 0; b < n; ++b) {
        unsigned char* o = out + (size_t)b * (size_t)dst->strides[0] * es;
        const unsigned char* i = in + (size_t)b * (size_t)src->strides[0] * es;
        fill(o, (size_t)head[1] * dst_row);
        o += (size_t)head[1] * dst_row;
        for (int64_t y = 0; y < h; ++y) {
            fill(o, (size_t)head[2] * dst_col);
            memmove(o + (size_t)head[2] * dst_col, i, src_row);
            fill(o + (size_t)head[2] * dst_col + src_row, (size_t)tail[2] * dst_col);
            o += dst_row;
            i += src_row;
        }
        fill(o, (size_t)tail[1] * dst_row);
    }
    dst->time = (uint64_t)(clock_now_ns() - start);
    return NN_SUCCESS;
}

#define NN_CONCAT_MAX_INPUTS 16

static int64_t product(const int32_t* shape, int from, int to)
{
    int64_t p = 1;
    for (int i = from; i < to; ++i)
        p *= shape[i];
    return p;
}

int nn_tensor_concat(nn_tensor* dst, int count, nn_tensor** inputs, int axis)
{
    if (!dst || !inputs || count < 0)
        return NN_ERROR_INVALID_PARAMETER;
    nn_engine* engine = dst->engine;
    for (int i = 0; engine && i < count; ++i)
        if (!inputs[i] || inputs[i]->engine != engine)
            engine = NULL;
    if (engine && engine->concat) {
        int err = engine->concat(dst, inputs, count, axis);
        if (err != NN_ERROR_NOT_IMPLEMENTED)
            return err;
    }

    const int64_t start = clock_now_ns();
    if (count > NN_CONCAT_MAX_INPUTS)
        return NN_ERROR_TOO_MANY_INPUTS;
    if (axis < 0 || axis > 3)
        return NN_ERROR_INVALID_AXIS;
    int64_t chunk[NN_CONCAT_MAX_INPUTS];
    const int64_t outer = product(dst->shape, 0, axis);
    const int64_t step = product(dst->shape, axis, 4);
    int64_t total = 0;
    for (int i = 0; i < count; ++i) {
        if (!inputs[i])
            return NN_ERROR_INVALID_PARAMETER;
        if (inputs[i]->type != dst->type)
            return NN_ERROR_TYPE_MISMATCH;
        chunk[i] = product(inputs[i]->shape, axis, 4);
        total += chunk[i];
        if (outer * chunk[i] > nn_tensor_volume(inputs[i]))
            return NN_ERROR_SHAPE_MISMATCH;
    }
    if (total > step)
        return NN_ERROR_SHAPE_MISMATCH;

    /* Array elements end last to first: inputs are unmapped in reverse. */
    kestrune::ReadMap in[NN_CONCAT_MAX_INPUTS];
    for (int i = 0; i < count; ++i)
        if (!in[i].map(inputs[i]))
            return NN_ERROR_TENSOR_NO_DATA;
    kestrune::ReadWriteMap out_map(dst);
    unsigned char* out = out_map.as<unsigned char>();
    if (!out)
        return NN_ERROR_TENSOR_NO_DATA;
    const size_t es = nn_type_size(dst->type);
    /* The model may place the output over its inputs in the pool.  An input
     * already where its chunks go (the output's only row, or its whole row)
     * stays; one that the output overlaps otherwise is read from a copy taken
     * before anything is written, so no copy reads bytes an earlier one
     * wrote. */
    const size_t out_bytes = (size_t)(outer * step) * es;
    const unsigned char* from[NN_CONCAT_MAX_INPUTS];
    bool in_place[NN_CONCAT_MAX_INPUTS], set_aside[NN_CONCAT_MAX_INPUTS];
    size_t aside_bytes = 0;
    int64_t at = 0;
    for (int i = 0; i < count; ++i) {
        const size_t bytes = (size_t)(outer * chunk[i]) * es;
        from[i] = in[i].as<unsigned char>();
        in_place[i] = from[i] == out + (size_t)at * es && (outer == 1 || chunk[i] == step);
        set_aside[i] = !in_place[i] && overlaps(from[i], bytes, out, out_bytes);
        if (set_aside[i])
            aside_bytes += bytes;
        at += chunk[i];
    }
    platform::unique_malloc<unsigned char[]> aside;
    if (aside_bytes) {
        aside = platform::malloc_array<unsigned char>(aside_bytes);
        if (!aside)
            return NN_ERROR_OUT_OF_MEMORY;
        unsigned char* q = aside.get();
        for (int i = 0; i < count; ++i) {
            const size_t bytes = (size_t)(outer * chunk[i]) * es;
            if (set_aside[i]) {
                memcpy(q, from[i], bytes);
                from[i] = q;
                q += bytes;
            }
        }
    }
    for (int64_t o = 0; o < outer; ++o) {
        unsigned char* p = out + (size_t)(o * step) * es;
        for (int i = 0; i < count; ++i) {
            const size_t bytes = (size_t)chunk[i] * es;
            if (!in_place[i])
                memmove(p, from[i] + (size_t)o * bytes, bytes);
            p += bytes;
        }
    }
    dst->time = (uint64_t)(clock_now_ns() - start);
    return NN_SUCCESS;
}

int nn_tensor_slice(nn_tensor* dst, nn_tensor* src, int count, const int32_t* axes,
                    const int32_t* begins, const int32_t* ends)
{
    if (!dst || !src)
        return NN_ERROR_INVALID_PARAMETER;
    if (!axes || count == 0)
        return nn_tensor_copy(dst, src);
    if (count < 0 || !begins || !ends)
        return NN_ERROR_INVALID_PARAMETER;
    if (dst->type != src->type)
        return NN_ERROR_TYPE_MISMATCH;
    const int dims = src->dims;
    if (count > dims)
        return NN_ERROR_INVALID_SHAPE;
    nn_engine* engine = nn_shared_engine2(dst, src);
    if (engine && engine->slice)
        return engine->slice(dst, src, count, axes, begins, ends);

    int32_t begin[4] = {0, 0, 0, 0}, end[4];
    nn_tensor_shape_copy(end, src->shape);
    for (int k = 0; k < count; ++k) {
        const int a = axes[k];
        if (a < 0 || a > dims || a > 3)
            return NN_ERROR_INVALID_AXIS;
        const int64_t extent = src->shape[a];
        int64_t b = begins[k], e = ends[k];
        if (b < 0)
            b += extent;
        if (e == 0)
            e = extent;
        else if (e < 0)
            e += extent;
        if (b < 0 || b > extent || e < 0 || e > extent || b >= e)
            return NN_ERROR_INVALID_AXIS;
        begin[a] = (int32_t)b;
        end[a] = (int32_t)e;
    }
    int32_t extents[4];
    int64_t volume = 1;
    for (int i = 0; i < 4; ++i) {
        extents[i] = end[i] - begin[i];
        if (extents[i] < 1)
            return NN_ERROR_INVALID_SHAPE;
        volume *= extents[i];
    }
    if (volume > nn_tensor_volume(dst))
        return NN_ERROR_INVALID_SHAPE;

    /* Kept before the reshape, which also changes src when it is dst. */
    int32_t ss[4];
    nn_tensor_shape_copy(ss, src->strides);
    int err = nn_tensor_reshape(dst, dims, extents);
    if (err)
        return err;

    const int32_t* ds = dst->strides;
    return move_elements(dst, src, [&](unsigned char* out, const unsigned char* in, auto size) {
        const size_t n = size;
        for (int32_t i0 = 0; i0 < extents[0]; ++i0)
            for (int32_t i1 = 0; i1 < extents[1]; ++i1)
                for (int32_t i2 = 0; i2 < extents[2]; ++i2)
                    for (int32_t i3 = 0; i3 < extents[3]; ++i3) {
                        const int64_t o = (int64_t)i0 * ds[0] + (int64_t)i1 * ds[1] +
                                          (int64_t)i2 * ds[2] + i3;
                        const int64_t s = (int64_t)(i0 + begin[0]) * ss[0] +
                                          (int64_t)(i1 + begin[1]) * ss[1] +
                                          (int64_t)(i2 + begin[2]) * ss[2] + (i3 + begin[3]);
                        /* dst may be src: an element may move onto itself. */
                        memmove(out + (size_t)o * n, in + (size_t)s * n, n);
                    }
    });
}

int nn_tensor_shuffle(nn_tensor* dst, nn_tensor* src, int dims, const int32_t* order)
{
    if (!dst || !src || (!order && dims > 0))
        return NN_ERROR_INVALID_PARAMETER;
    if (dst->type != src->type)
        return NN_ERROR_TYPE_MISMATCH;
    if (dims != src->dims)
        return NN_ERROR_INVALID_SHAPE;
    nn_engine* engine = nn_shared_engine2(dst, src);
    if (engine && engine->shuffle)
        return engine->shuffle(dst, src, dims, order);
    if (dst == src) {
        fprintf(stderr, "nn_tensor_shuffle does not support same tensor for input and output\n");
        return NN_ERROR_INVALID_PARAMETER;
    }

    const int64_t start = clock_now_ns();
    int seen[4] = {0, 0, 0, 0};
    for (int k = 0; k < dims; ++k) {
        if (order[k] < 0 || order[k] >= dims || seen[order[k]])
            return NN_ERROR_INVALID_AXIS;
        seen[order[k]] = 1;
    }
    int32_t shape[4] = {1, 1, 1, 1};
    for (int k = 0; k < dims; ++k)
        shape[k] = src->shape[order[k]];
    int err = nn_tensor_reshape(dst, dims, shape);
    if (err)
        return err;

    const int32_t* ds = dst->strides;
    const int32_t* sh = src->shape;
    return move_elements(dst, src, [&](unsigned char* out, const unsigned char* in, auto size) {
        const size_t n = size;
        int64_t s = 0;
        int32_t i[4];
        for (i[0] = 0; i[0] < sh[0]; ++i[0])
            for (i[1] = 0; i[1] < sh[1]; ++i[1])
                for (i[2] = 0; i[2] < sh[2]; ++i[2])
                    for (i[3] = 0; i[3] < sh[3]; ++i[3], ++s) {
                        int64_t o = 0;
                        for (int k = 0; k < dims; ++k)
                            o += (int64_t)i[order[k]] * ds[k];
                        memcpy(out + (size_t)o * n, in + (size_t)s * n, n);
                    }
        dst->time = (uint64_t)(clock_now_ns() - start);
    });
}
