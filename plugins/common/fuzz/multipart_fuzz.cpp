/* libFuzzer harness: the caller loop of the multipart parser over any bytes,
 * held in an exact-size heap block; every part must lie inside the input and
 * every copy must be bounded and terminated. */
#include "multipart.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define CANARY 0xA5

static void check_field(const unsigned char* field, size_t capacity, size_t total)
{
    if (capacity > 0 && !memchr(field, 0, capacity))
        abort();
    for (size_t i = capacity; i < total; ++i)
        if (field[i] != CANARY)
            abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    /* The first byte picks the filename and type capacities (0-63). */
    size_t filename_capacity = data[0] & 63;
    size_t type_capacity = (size_t)(data[0] >> 2) & 63;
    ++data;
    --size;
    char* text = static_cast<char*>(malloc(size ? size : 1));
    if (!text)
        return 0;
    memcpy(text, data, size);

    uint64_t at = 0;
    while (at < size) {
        unsigned char name[MULTIPART_NAME_SIZE + 8], filename[72], type[72];
        memset(name, CANARY, sizeof name);
        memset(filename, CANARY, sizeof filename);
        memset(type, CANARY, sizeof type);
        /* Callers hand in terminated buffers; a capacity of 0 is never written. */
        name[0] = 0;
        if (filename_capacity)
            filename[0] = 0;
        if (type_capacity)
            type[0] = 0;
        const char* part = NULL;
        uint64_t length = UINT64_MAX;
        uint64_t next = multipart_next_part(text + at, size - at, (char*)name, (char*)filename, filename_capacity,
                                            (char*)type, type_capacity, &part, &length);
        check_field(name, MULTIPART_NAME_SIZE, sizeof name);
        check_field(filename, filename_capacity, sizeof filename);
        check_field(type, type_capacity, sizeof type);
        if (next == 0)
            break;
        if (next > size - at || !part || part < text + at || part > text + size ||
            length > (uint64_t)(text + size - part))
            abort();
        /* Touch every byte of the part: an out-of-range one trips ASan. */
        volatile unsigned char sum = 0;
        for (uint64_t i = 0; i < length; ++i)
            sum ^= (unsigned char)part[i];
        (void)sum;
        at += next;
    }
    free(text);
    return 0;
}
