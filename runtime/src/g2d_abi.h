/* The binary interface of the G2D 2-D engine library (libg2d.so) as the camera
 * frame loader uses it: two records and the eight functions it resolves by
 * name.  Shared by the runtime and the test stand-in of the library. */
#ifndef KESTRUNE_G2D_ABI_H
#define KESTRUNE_G2D_ABI_H

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
