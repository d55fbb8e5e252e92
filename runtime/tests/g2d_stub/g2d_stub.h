/* Test controls of the G2D stand-in library.  The tests reach them through
 * dlopen("libg2d.so") so that the runtime's own lookup by name stays the one
 * that decides which library (if any) is loaded. */
#ifndef KESTRUNE_G2D_STUB_H
#define KESTRUNE_G2D_STUB_H

#include "g2d_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Functions counted by the stand-in, and those that can be made to fail. */
enum {
    G2D_STUB_OPEN,
    G2D_STUB_CLOSE,
    G2D_STUB_BLIT,
    G2D_STUB_CACHE_OP,
    G2D_STUB_ALLOC,
    G2D_STUB_FREE,
    G2D_STUB_FLUSH,
    G2D_STUB_FINISH,
    G2D_STUB_FUNCTION_COUNT
};

/* Make the next call of open, alloc, blit or finish fail. */
typedef void (*g2d_stub_fail_next_fn)(int function);
/* Calls of a function since the library was loaded. */
typedef int (*g2d_stub_calls_fn)(int function);
/* Copies of the surfaces of the last g2d_blit; 0 when there was none. */
typedef int (*g2d_stub_last_surfaces_fn)(g2d_surface* src, g2d_surface* dst);
/* Buffers handed out by g2d_alloc and not yet freed. */
typedef int (*g2d_stub_live_buffers_fn)(void);
/* The operation of the last g2d_cache_op, -1 before the first. */
typedef int (*g2d_stub_last_cache_op_fn)(void);

#ifdef __cplusplus
}
#endif

#endif
