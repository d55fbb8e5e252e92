/* Allocation seam of the JSON writer: tests swap in a realloc that fails on
 * demand. NULL restores the C library's realloc. */
#ifndef BRINDLECAST_JSON_ALLOC_H
#define BRINDLECAST_JSON_ALLOC_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* (*json_realloc_fn)(void* block, size_t size);
void json_set_realloc(json_realloc_fn fn);

#ifdef __cplusplus
}
#endif

#endif /* BRINDLECAST_JSON_ALLOC_H */
