/* A stand-in for the G2D 2-D engine library, for tests only.
 *
 * Buffers are host memory with made-up 32-bit "physical" addresses kept in a
 * table.  g2d_blit reads the source in the layout of its format, crops it,
 * scales it by nearest neighbour to the destination rectangle, mirrors or
 * flips it and writes RGBX with full-range BT.601 colours. */
#include <math.h>
#include <stdbool.h>
#include <stdlib.h>
#include <string.h>

#include "g2d_stub.h"

#define STUB_API __attribute__((visibility("default")))
#define STUB_MAX_BUFFERS 256
#define STUB_PHYS_BASE 0x10000000u

typedef struct stub_buffer {
    g2d_buf buf;
    uint32_t phys;
    size_t size;
} stub_buffer;

static stub_buffer* buffers[STUB_MAX_BUFFERS];
static uint32_t next_phys = STUB_PHYS_BASE;
static int calls[G2D_STUB_FUNCTION_COUNT];
static int fail_next[G2D_STUB_FUNCTION_COUNT];
static g2d_surface last_src, last_dst;
static int have_last;
static int last_cache_op = -1;
static int device_token;

STUB_API void g2d_stub_fail_next(int function)
{
    if (function >= 0 && function < G2D_STUB_FUNCTION_COUNT)
        fail_next[function] = 1;
}

STUB_API int g2d_stub_calls(int function)
{
    return function >= 0 && function < G2D_STUB_FUNCTION_COUNT ? calls[function] : 0;
}

STUB_API int g2d_stub_last_surfaces(g2d_surface* src, g2d_surface* dst)
{
    if (src)
        *src = last_src;
    if (dst)
        *dst = last_dst;
    return have_last;
}

STUB_API int g2d_stub_live_buffers(void)
{
    int n = 0;
    for (int i = 0; i < STUB_MAX_BUFFERS; ++i)
        n += buffers[i] != NULL;
    return n;
}

STUB_API int g2d_stub_last_cache_op(void) { return last_cache_op; }

static int take_failure(int function)
{
    ++calls[function];
    if (!fail_next[function])
        return 0;
    fail_next[function] = 0;
    return 1;
}

/* The host memory behind [phys, phys + bytes), or NULL. */
static uint8_t* resolve(uint32_t phys, size_t bytes)
{
    for (int i = 0; i < STUB_MAX_BUFFERS; ++i) {
        stub_buffer* b = buffers[i];
        if (b && phys >= b->phys && phys - b->phys <= b->size && bytes <= b->size - (phys - b->phys))
            return (uint8_t*)b->buf.buf_vaddr + (phys - b->phys);
    }
    return NULL;
}

STUB_API int g2d_open(void** handle)
{
    if (take_failure(G2D_STUB_OPEN) || !handle)
        return -1;
    *handle = &device_token;
    return 0;
}

STUB_API int g2d_close(void* handle)
{
    ++calls[G2D_STUB_CLOSE];
    return handle == &device_token ? 0 : -1;
}

STUB_API g2d_buf* g2d_alloc(int size, int cacheable)
{
    (void)cacheable;
    if (take_failure(G2D_STUB_ALLOC) || size <= 0)
        return NULL;
    int slot = 0;
    while (slot < STUB_MAX_BUFFERS && buffers[slot])
        ++slot;
    uint32_t span = ((uint32_t)size + 4095u) & ~4095u;
    if (slot == STUB_MAX_BUFFERS || span > 0x7fffffffu - next_phys)
        return NULL;
    stub_buffer* b = calloc(1, sizeof *b);
    void* mem = calloc(1, (size_t)size);
    if (!b || !mem) {
        free(b);
        free(mem);
        return NULL;
    }
    b->phys = next_phys;
    b->size = (size_t)size;
    next_phys += span;
    b->buf.buf_handle = b;
    b->buf.buf_vaddr = mem;
    b->buf.buf_paddr = (int32_t)b->phys;
    b->buf.buf_size = size;
    buffers[slot] = b;
    return &b->buf;
}

STUB_API int g2d_free(g2d_buf* buf)
{
    ++calls[G2D_STUB_FREE];
    for (int i = 0; i < STUB_MAX_BUFFERS; ++i) {
        if (buffers[i] && &buffers[i]->buf == buf) {
            free(buf->buf_vaddr);
            free(buffers[i]);
            buffers[i] = NULL;
            return 0;
        }
    }
    return -1;
}

STUB_API int g2d_cache_op(g2d_buf* buf, int op)
{
    ++calls[G2D_STUB_CACHE_OP];
    last_cache_op = op;
    return buf ? 0 : -1;
}

STUB_API int g2d_flush(void* handle)
{
    ++calls[G2D_STUB_FLUSH];
    return handle == &device_token ? 0 : -1;
}

#ifndef G2D_STUB_WITHOUT_FINISH
STUB_API int g2d_finish(void* handle)
{
    if (take_failure(G2D_STUB_FINISH))
        return -1;
    return handle == &device_token ? 0 : -1;
}
#endif

/* ---- Source layouts ---------------------------------------------------- */

typedef struct yuv_source {
    int format;
    const uint8_t* base;
    int stride, height;
} yuv_source;

/* Bytes a source of this format and geometry occupies from planes[0]. */
static size_t source_bytes(int format, int stride, int height)
{
    size_t luma = (size_t)stride * (size_t)height;
    size_t cw = (size_t)(stride + 1) / 2, ch = (size_t)(height + 1) / 2;
    switch (format) {
    case G2D_FORMAT_NV12:
    case G2D_FORMAT_NV21:
        return luma + 2 * cw * ch;
    case G2D_FORMAT_NV16:
    case G2D_FORMAT_NV61:
        return luma + 2 * cw * (size_t)height;
    case G2D_FORMAT_I420:
    case G2D_FORMAT_YV12:
        return luma + 2 * cw * ch;
    case G2D_FORMAT_YUYV:
    case G2D_FORMAT_YVYU:
    case G2D_FORMAT_UYVY:
    case G2D_FORMAT_VYUY:
        return 4 * cw * (size_t)height;
    default:
        return 0;
    }
}

static void sample(const yuv_source* s, int x, int y, int* Y, int* U, int* V)
{
    size_t stride = (size_t)s->stride, cw = (stride + 1) / 2, ch = ((size_t)s->height + 1) / 2;
    size_t luma = stride * (size_t)s->height;
    const uint8_t* p = s->base;
    size_t cx = (size_t)x / 2, cy = (size_t)y / 2;
    switch (s->format) {
    case G2D_FORMAT_NV12:
    case G2D_FORMAT_NV21:
    case G2D_FORMAT_NV16:
    case G2D_FORMAT_NV61: {
        bool half_rows = s->format == G2D_FORMAT_NV12 || s->format == G2D_FORMAT_NV21;
        bool uv = s->format == G2D_FORMAT_NV12 || s->format == G2D_FORMAT_NV16;
        const uint8_t* c = p + luma + (half_rows ? cy : (size_t)y) * 2 * cw + 2 * cx;
        *Y = p[(size_t)y * stride + (size_t)x];
        *U = uv ? c[0] : c[1];
        *V = uv ? c[1] : c[0];
        return;
    }
    case G2D_FORMAT_I420:
    case G2D_FORMAT_YV12: {
        const uint8_t* first = p + luma;
        const uint8_t* second = first + cw * ch;
        const uint8_t* u = s->format == G2D_FORMAT_I420 ? first : second;
        const uint8_t* v = s->format == G2D_FORMAT_I420 ? second : first;
        *Y = p[(size_t)y * stride + (size_t)x];
        *U = u[cy * cw + cx];
        *V = v[cy * cw + cx];
        return;
    }
    default: {
        /* Packed 4:2:2: one four-byte group per two pixels. */
        const uint8_t* g = p + (size_t)y * 4 * cw + 4 * cx;
        int odd = x & 1;
        switch (s->format) {
        case G2D_FORMAT_YUYV: *Y = g[odd ? 2 : 0]; *U = g[1]; *V = g[3]; return;
        case G2D_FORMAT_YVYU: *Y = g[odd ? 2 : 0]; *V = g[1]; *U = g[3]; return;
        case G2D_FORMAT_UYVY: *Y = g[odd ? 3 : 1]; *U = g[0]; *V = g[2]; return;
        default:              *Y = g[odd ? 3 : 1]; *V = g[0]; *U = g[2]; return;
        }
    }
    }
}

static uint8_t clamp_byte(double v)
{
    long r = lrint(v);
    return (uint8_t)(r < 0 ? 0 : r > 255 ? 255 : r);
}

static bool rect_ok(const g2d_surface* s)
{
    return s->width > 0 && s->height > 0 && s->stride >= s->width && s->left >= 0 &&
           s->top >= 0 && s->left < s->right && s->top < s->bottom && s->right <= s->width &&
           s->bottom <= s->height;
}

STUB_API int g2d_blit(void* handle, g2d_surface* src, g2d_surface* dst)
{
    if (take_failure(G2D_STUB_BLIT))
        return -1;
    if (!src || !dst)
        return -1;
    last_src = *src;
    last_dst = *dst;
    have_last = 1;
    if (handle != &device_token || dst->format != G2D_FORMAT_RGBX8888 || !rect_ok(src) ||
        !rect_ok(dst))
        return -1;
    size_t in_bytes = source_bytes(src->format, src->stride, src->height);
    if (!in_bytes)
        return -1;
    yuv_source s = {src->format, resolve((uint32_t)src->planes[0], in_bytes), src->stride,
                    src->height};
    uint8_t* out = resolve((uint32_t)dst->planes[0], (size_t)dst->stride * (size_t)dst->height * 4);
    if (!s.base || !out)
        return -1;

    int cw = src->right - src->left, ch = src->bottom - src->top;
    int dw = dst->right - dst->left, dh = dst->bottom - dst->top;
    for (int dy = 0; dy < dh; ++dy) {
        for (int dx = 0; dx < dw; ++dx) {
            int ox = dst->rot == G2D_ROTATION_MIRROR ? dw - 1 - dx : dx;
            int oy = dst->rot == G2D_ROTATION_FLIP ? dh - 1 - dy : dy;
            int sx = src->left + (int)((int64_t)dx * cw / dw);
            int sy = src->top + (int)((int64_t)dy * ch / dh);
            int Y, U, V;
            sample(&s, sx, sy, &Y, &U, &V);
            uint8_t* px = out + ((size_t)(dst->top + oy) * (size_t)dst->stride +
                                 (size_t)(dst->left + ox)) * 4;
            px[0] = clamp_byte(Y + 1.402 * (V - 128));
            px[1] = clamp_byte(Y - 0.344136 * (U - 128) - 0.714136 * (V - 128));
            px[2] = clamp_byte(Y + 1.772 * (U - 128));
            px[3] = 255;
        }
    }
    return 0;
}
