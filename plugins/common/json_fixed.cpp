/* Writers that stop at the end of a fixed buffer: each token is sized
 * exactly first and written only when it fits with its terminating zero. */
#include "json.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

static size_t name_bytes(const char* name)
{
    return name ? strlen(name) + 3 : 0; /* "name": */
}

static int fits(const char* pos, const char* end, uint64_t bytes)
{
    return pos && end && pos < end && (uint64_t)(end - pos) > bytes;
}

char* json_fixed_obj_open(char* pos, const char* end, const char* name)
{
    return fits(pos, end, name_bytes(name) + 1) ? json_put_obj_open(pos, name) : NULL;
}

char* json_fixed_arr_open(char* pos, const char* end, const char* name)
{
    return fits(pos, end, name_bytes(name) + 1) ? json_put_arr_open(pos, name) : NULL;
}

/* A closer never needs more than two bytes after the position. */
char* json_fixed_obj_close(const char* text, char* pos, const char* end)
{
    return fits(pos, end, 2) ? json_put_obj_close(text, pos) : NULL;
}

char* json_fixed_arr_close(const char* text, char* pos, const char* end)
{
    return fits(pos, end, 2) ? json_put_arr_close(text, pos) : NULL;
}

char* json_fixed_str(char* pos, const char* end, const char* name, const char* value)
{
    uint64_t bytes = name_bytes(name) + json_escaped_length(value, SIZE_MAX) + 3;
    return fits(pos, end, bytes) ? json_put_str(pos, name, value, SIZE_MAX) : NULL;
}

char* json_fixed_int(char* pos, const char* end, const char* name, int32_t value)
{
    char digits[16];
    int n = snprintf(digits, sizeof digits, "%" PRId32, value);
    return fits(pos, end, name_bytes(name) + (uint64_t)n + 1) ? json_put_int(pos, name, value) : NULL;
}
