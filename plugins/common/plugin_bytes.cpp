#include "plugin_bytes.h"

#include <stdlib.h>
#include <string.h>

void plugin_bytes_init(plugin_bytes* bytes, uint64_t max_size)
{
    memset(bytes, 0, sizeof *bytes);
    bytes->max_size = max_size;
}

void plugin_bytes_free(plugin_bytes* bytes)
{
    free(bytes->block);
    const uint64_t max_size = bytes->max_size;
    plugin_bytes_init(bytes, max_size);
}

uint8_t* plugin_bytes_reserve(plugin_bytes* bytes, uint64_t needed)
{
    if (bytes->block && needed <= bytes->capacity)
        return bytes->data;
    if (needed > bytes->max_size || needed > SIZE_MAX - PLUGIN_BYTES_ALIGN)
        return NULL;
    const size_t offset = bytes->block ? static_cast<size_t>(bytes->data - static_cast<uint8_t*>(bytes->block)) : 0;
    /* One block at least, so that an empty reservation holds a block too. */
    const size_t block_size = static_cast<size_t>(needed) + (PLUGIN_BYTES_ALIGN - 1) + (needed == 0);
    uint8_t* block = static_cast<uint8_t*>(realloc(bytes->block, block_size));
    if (!block)
        return NULL;
    auto* aligned = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(block) + (PLUGIN_BYTES_ALIGN - 1)) &
                                               ~uintptr_t{PLUGIN_BYTES_ALIGN - 1});
    /* realloc kept the bytes at their offset in the block; the aligned start
     * of the new block may lie elsewhere. */
    if (bytes->size && aligned != block + offset)
        memmove(aligned, block + offset, static_cast<size_t>(bytes->size));
    bytes->block = block;
    bytes->data = aligned;
    bytes->capacity = needed;
    return aligned;
}

namespace {

struct BytesUpload {
    plugin_bytes* bytes;
    const plugin_bytes_upload* target;
};

void release_hook(void* user)
{
    const BytesUpload* u = static_cast<const BytesUpload*>(user);
    if (u->target->release)
        u->target->release(u->target->user);
}

uint8_t* reserve_hook(void* user, uint64_t needed)
{
    return plugin_bytes_reserve(static_cast<const BytesUpload*>(user)->bytes, needed);
}

uint64_t size_hook(void* user)
{
    return static_cast<const BytesUpload*>(user)->bytes->size;
}

void set_size_hook(void* user, uint64_t size)
{
    static_cast<const BytesUpload*>(user)->bytes->size = size;
}

int load_hook(int socket, void* user, bool* replied)
{
    const BytesUpload* u = static_cast<const BytesUpload*>(user);
    return u->target->load(socket, u->target->user, replied);
}

} // namespace

int plugin_upload_put_bytes(int socket, char* body, size_t body_len, plugin_upload* upload, plugin_bytes* bytes,
                            const plugin_bytes_upload* target)
{
    BytesUpload u = {bytes, target};
    const plugin_upload_hooks hooks = {
        &u,           target->block_size, bytes->max_size, target->max_part_size, release_hook,
        reserve_hook, size_hook,          set_size_hook,   load_hook,
    };
    return plugin_upload_put(socket, body, body_len, upload, &hooks);
}
