/* A growable byte buffer whose bytes start at an aligned address inside its
 * heap block, with a ceiling it never grows past: the model bytes of a
 * block-wise upload. */
#ifndef BRINDLECAST_PLUGIN_BYTES_H
#define BRINDLECAST_PLUGIN_BYTES_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "plugin_http.h"

#ifdef __cplusplus
extern "C" {
#endif

#define PLUGIN_BYTES_ALIGN 16u

typedef struct plugin_bytes {
    void* block;          /* the heap block (realloc'ed), or NULL */
    uint8_t* data;        /* its first PLUGIN_BYTES_ALIGN-aligned address */
    uint64_t size;        /* bytes held from data */
    uint64_t capacity;    /* usable bytes from data */
    uint64_t max_size;    /* capacity is never grown past this */
} plugin_bytes;

/* An empty buffer that may grow up to max_size bytes. */
void plugin_bytes_init(plugin_bytes* bytes, uint64_t max_size);
/* Frees the block; the buffer is empty afterwards (max_size kept). */
void plugin_bytes_free(plugin_bytes* bytes);

/* Room for `needed` bytes from data, keeping the `size` held (they move
 * along when the aligned start moves).  The data pointer, or NULL when
 * `needed` is above max_size or the block cannot grow (nothing changed). */
uint8_t* plugin_bytes_reserve(plugin_bytes* bytes, uint64_t needed);

/* What a block-wise upload into a plugin_bytes needs of the plug-in. */
typedef struct plugin_bytes_upload {
    void* user;
    uint64_t block_size;      /* bytes per announced block */
    uint64_t max_part_size;   /* a larger part ends the request without a reply */
    /* Takes a loaded model out before the bytes are written; may be NULL. */
    void (*release)(void* user);
    /* All blocks are in (bytes->data, bytes->size): load them.  As
     * plugin_upload_hooks.load. */
    int (*load)(int socket, void* user, bool* replied);
} plugin_bytes_upload;

/* plugin_upload_put with `bytes` as the model bytes (its max_size the
 * largest model). */
int plugin_upload_put_bytes(int socket, char* body, size_t body_len, plugin_upload* upload, plugin_bytes* bytes,
                            const plugin_bytes_upload* target);

#ifdef __cplusplus
}
#endif

#endif /* BRINDLECAST_PLUGIN_BYTES_H */
