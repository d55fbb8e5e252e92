/* The binary interface of the G2D 2-D engine library (libg2d.so) as the camera
 * frame loader uses it: two records and the eight functions it resolves by
 * name.  Shared by the runtime and the test stand-in of the library. */
#ifndef KESTRUNE_G2D_ABI_H
#define KESTRUNE_G2D_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Pixel formats used by the frame loader. */
enum {
    G2D_FORMAT_RGBX8888 = 2,
    G2D_FORMAT_NV12 = 20,
    G2D_FORMAT_I420 = 21,
    G2D_FORMAT_YV12 = 22,
    G2D_FORMAT_NV21 = 23,
    G2D_FORMAT_YUYV = 24,
    G2D_FORMAT_YVYU = 25,
    G2D_FORMAT_UYVY = 26,
    G2D_FORMAT_VYUY = 27,
    G2D_FORMAT_NV16 = 28,
    G2D_FORMAT_NV61 = 29
};

/* Destination rotations. */
enum { G2D_ROTATION_NONE = 0, G2D_ROTATION_MIRROR = 4, G2D_ROTATION_FLIP = 5 };

/* Cache operations of g2d_cache_op. */
enum { G2D_CACHE_CLEAN = 0, G2D_CACHE_FLUSH = 1, G2D_CACHE_INVALIDATE = 2 };

/* One image in physical memory; every field is 32 bits wide. */
typedef struct g2d_surface {
    int32_t format;
    int32_t planes[3];     /* physical addresses of the planes */
    int32_t left;          /* crop rectangle: left, top inclusive */
    int32_t top;
    int32_t right;         /* right, bottom exclusive */
    int32_t bottom;
    int32_t stride;        /* pixels per row in memory */
    int32_t width;
    int32_t height;
    int32_t blendfunc;
    int32_t global_alpha;
    int32_t clrcolor;
    int32_t rot;
} g2d_surface;

/* A buffer from g2d_alloc. */
typedef struct g2d_buf {
    void* buf_handle;
    void* buf_vaddr;       /* CPU address */
    int32_t buf_paddr;     /* physical address */
    int32_t buf_size;      /* bytes */
} g2d_buf;

/* The library reads and writes these records by these offsets (64-bit
 * targets): a changed field would still compile but hand G2D a wrong frame. */
#ifdef __cplusplus
#define G2D_ABI_ASSERT(cond, text) static_assert(cond, text)
#else
#define G2D_ABI_ASSERT(cond, text) _Static_assert(cond, text)
#endif
G2D_ABI_ASSERT(sizeof(g2d_surface) == 60, "g2d_surface is 15 words");
G2D_ABI_ASSERT(offsetof(g2d_surface, format) == 0, "g2d_surface.format at 0");
G2D_ABI_ASSERT(offsetof(g2d_surface, planes) == 4, "g2d_surface.planes at 4");
G2D_ABI_ASSERT(offsetof(g2d_surface, left) == 16, "g2d_surface.left at 16");
G2D_ABI_ASSERT(offsetof(g2d_surface, top) == 20, "g2d_surface.top at 20");
G2D_ABI_ASSERT(offsetof(g2d_surface, right) == 24, "g2d_surface.right at 24");
G2D_ABI_ASSERT(offsetof(g2d_surface, bottom) == 28, "g2d_surface.bottom at 28");
G2D_ABI_ASSERT(offsetof(g2d_surface, stride) == 32, "g2d_surface.stride at 32");
G2D_ABI_ASSERT(offsetof(g2d_surface, width) == 36, "g2d_surface.width at 36");
G2D_ABI_ASSERT(offsetof(g2d_surface, height) == 40, "g2d_surface.height at 40");
G2D_ABI_ASSERT(offsetof(g2d_surface, blendfunc) == 44, "g2d_surface.blendfunc at 44");
G2D_ABI_ASSERT(offsetof(g2d_surface, global_alpha) == 48, "g2d_surface.global_alpha at 48");
G2D_ABI_ASSERT(offsetof(g2d_surface, clrcolor) == 52, "g2d_surface.clrcolor at 52");
G2D_ABI_ASSERT(offsetof(g2d_surface, rot) == 56, "g2d_surface.rot at 56");
G2D_ABI_ASSERT(sizeof(g2d_buf) == 24, "g2d_buf is two pointers and two words");
G2D_ABI_ASSERT(offsetof(g2d_buf, buf_handle) == 0, "g2d_buf.buf_handle at 0");
G2D_ABI_ASSERT(offsetof(g2d_buf, buf_vaddr) == 8, "g2d_buf.buf_vaddr at 8");
G2D_ABI_ASSERT(offsetof(g2d_buf, buf_paddr) == 16, "g2d_buf.buf_paddr at 16");
G2D_ABI_ASSERT(offsetof(g2d_buf, buf_size) == 20, "g2d_buf.buf_size at 20");
#undef G2D_ABI_ASSERT

typedef int (*g2d_open_fn)(void** handle);
typedef int (*g2d_close_fn)(void* handle);
typedef int (*g2d_blit_fn)(void* handle, g2d_surface* src, g2d_surface* dst);
typedef int (*g2d_cache_op_fn)(g2d_buf* buf, int op);
typedef g2d_buf* (*g2d_alloc_fn)(int size, int cacheable);
typedef int (*g2d_free_fn)(g2d_buf* buf);
typedef int (*g2d_flush_fn)(void* handle);
typedef int (*g2d_finish_fn)(void* handle);

#ifdef __cplusplus
}
#endif

#endif /* KESTRUNE_G2D_ABI_H */
