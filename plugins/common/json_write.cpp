#include "json.h"
#include "json_alloc.h"

#include <float.h>
#include <math.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <stb/stb_sprintf.h>

static_assert(sizeof(size_t) == sizeof(uint64_t), "64-bit targets only");

/* Numbers use stb_sprintf's own conversions ("%I64d" is not glibc's). Called
 * through the va_list form, which carries no printf format attribute. */
static int format_number(char* buffer, int count, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int n = stbsp_vsnprintf(buffer, count, format, args);
    va_end(args);
    return n;
}

static json_realloc_fn json_realloc = realloc;

void json_set_realloc(json_realloc_fn fn)
{
    json_realloc = fn ? fn : realloc;
}

/* ---- escaping ---------------------------------------------------------- */

namespace plugin {
namespace {

/* Lead bytes of the well-formed UTF-8 sequences, with each one's length and
 * the range its second byte must lie in (later bytes lie in 80..BF). */
constexpr struct {
    unsigned char first, last;
    size_t length;
    unsigned char lo, hi;
} utf8_leads[] = {
    {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
};

} // namespace
} // namespace plugin

/* Length of the well-formed UTF-8 sequence at s (1-4), or 0 when the byte
 * there starts none. Never reads past a zero byte or past `avail` bytes. */
static size_t utf8_sequence(const unsigned char* s, size_t avail)
{
    const unsigned char c = s[0];
    if (c < 0x80)
        return 1;
    for (const auto& lead : plugin::utf8_leads) {
        if (c < lead.first || c > lead.last)
            continue;
        if (avail < lead.length || s[1] < lead.lo || s[1] > lead.hi)
            return 0;
        for (size_t i = 2; i < lead.length; ++i)
            if (s[i] < 0x80 || s[i] > 0xBF)
                return 0;
        return lead.length;
    }
    return 0;
}

static size_t bounded_length(const char* value, size_t max_count)
{
    const char* zero = static_cast<const char*>(memchr(value, '\0', max_count));
    return zero ? (size_t)(zero - value) : max_count;
}

uint64_t json_escaped_length(const char* value, size_t max_count)
{
    if (!value)
        return 0;
    const unsigned char* s = (const unsigned char*)value;
    size_t n = max_count == SIZE_MAX ? strlen(value) : bounded_length(value, max_count);
    uint64_t total = 0;
    size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c == '"' || c == '\\' || c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r') {
            total += 2;
            ++i;
        } else if (c < 0x20) {
            total += 6;
            ++i;
        } else if (c < 0x80) {
            total += 1;
            ++i;
        } else {
            size_t seq = utf8_sequence(s + i, n - i);
            if (seq == 0) {
                total += 3;
                ++i;
            } else {
                total += seq;
                i += seq;
            }
        }
    }
    return total;
}

static char* put_escaped(char* pos, const char* value, size_t max_count)
{
    static const char hex[] = "0123456789ABCDEF";
    if (!value)
        return pos;
    const unsigned char* s = (const unsigned char*)value;
    size_t n = max_count == SIZE_MAX ? strlen(value) : bounded_length(value, max_count);
    size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            *pos++ = (char)c;
            ++i;
            continue;
        }
        switch (c) {
        case '"': *pos++ = '\\'; *pos++ = '"'; ++i; continue;
        case '\\': *pos++ = '\\'; *pos++ = '\\'; ++i; continue;
        case '\b': *pos++ = '\\'; *pos++ = 'b'; ++i; continue;
        case '\t': *pos++ = '\\'; *pos++ = 't'; ++i; continue;
        case '\n': *pos++ = '\\'; *pos++ = 'n'; ++i; continue;
        case '\f': *pos++ = '\\'; *pos++ = 'f'; ++i; continue;
        case '\r': *pos++ = '\\'; *pos++ = 'r'; ++i; continue;
        default: break;
        }
        if (c < 0x20) {
            *pos++ = '\\';
            *pos++ = 'u';
            *pos++ = '0';
            *pos++ = '0';
            *pos++ = hex[c >> 4];
            *pos++ = hex[c & 15];
            ++i;
            continue;
        }
        size_t seq = utf8_sequence(s + i, n - i);
        if (seq == 0) {
            /* U+FFFD REPLACEMENT CHARACTER for each byte that is not UTF-8. */
            *pos++ = (char)0xEF;
            *pos++ = (char)0xBF;
            *pos++ = (char)0xBD;
            ++i;
        } else {
            memcpy(pos, s + i, seq);
            pos += seq;
            i += seq;
        }
    }
    return pos;
}

/* ---- raw writers --------------------------------------------------------- */
/* Number limits below are the growing layer's room less the ',' and the zero
 * written after the digits. */

static char* put_name_colon(char* pos, const char* name)
{
    if (name) {
        size_t n = strlen(name);
        *pos++ = '"';
        memcpy(pos, name, n);
        pos += n;
        *pos++ = '"';
        *pos++ = ':';
    }
    return pos;
}

static char* put_char(char* pos, char c)
{
    *pos++ = c;
    *pos = '\0';
    return pos;
}

static char* put_literal(char* pos, const char* name, const char* literal)
{
    pos = put_name_colon(pos, name);
    size_t n = strlen(literal);
    memcpy(pos, literal, n);
    pos += n;
    return put_char(pos, ',');
}

static char* put_closer(const char* text, char* pos, char closer)
{
    if (pos > text && pos[-1] == ',')
        --pos;
    *pos++ = closer;
    return put_char(pos, ',');
}

char* json_put_obj_open(char* pos, const char* name)
{
    return put_char(put_name_colon(pos, name), '{');
}

char* json_put_arr_open(char* pos, const char* name)
{
    return put_char(put_name_colon(pos, name), '[');
}

char* json_put_obj_close(const char* text, char* pos)
{
    return put_closer(text, pos, '}');
}

char* json_put_arr_close(const char* text, char* pos)
{
    return put_closer(text, pos, ']');
}

char* json_put_name(char* pos, const char* name)
{
    return put_char(put_name_colon(pos, name), '"');
}

char* json_put_str(char* pos, const char* name, const char* value, size_t max_count)
{
    pos = json_put_name(pos, name);
    pos = put_escaped(pos, value, max_count);
    *pos++ = '"';
    return put_char(pos, ',');
}

char* json_put_null(char* pos, const char* name)
{
    return put_literal(pos, name, "null");
}

char* json_put_bool(char* pos, const char* name, bool value)
{
    return put_literal(pos, name, value ? "true" : "false");
}

char* json_put_int(char* pos, const char* name, int32_t value)
{
    pos = put_name_colon(pos, name);
    /* stb negates a negative value itself, which overflows for INT32_MIN:
     * negatives are written as '-' and their unsigned magnitude. */
    if (value < 0) {
        *pos++ = '-';
        pos += format_number(pos, 21, "%u", (unsigned)(0u - (uint32_t)value));
    } else {
        pos += format_number(pos, 22, "%d", (int)value);
    }
    return put_char(pos, ',');
}

char* json_put_int64(char* pos, const char* name, int64_t value)
{
    pos = put_name_colon(pos, name);
    if (value < 0) { /* as in json_put_int, for INT64_MIN */
        *pos++ = '-';
        pos += format_number(pos, 23, "%I64u", (unsigned long long)(0u - (uint64_t)value));
    } else {
        pos += format_number(pos, 24, "%I64d", (long long)value);
    }
    return put_char(pos, ',');
}

char* json_put_uint(char* pos, const char* name, uint32_t value)
{
    pos = put_name_colon(pos, name);
    pos += format_number(pos, 22, "%u", (unsigned)value);
    return put_char(pos, ',');
}

char* json_put_uint64(char* pos, const char* name, uint64_t value)
{
    pos = put_name_colon(pos, name);
    pos += format_number(pos, 24, "%I64u", (unsigned long long)value);
    return put_char(pos, ',');
}

char* json_put_double(char* pos, const char* name, double value)
{
    /* JSON has no NaN or infinity: they become the strings "nan" and "inf". */
    if (isnan(value))
        return json_put_str(pos, name, "nan", SIZE_MAX);
    if (fabs(value) > DBL_MAX)
        return json_put_str(pos, name, "inf", SIZE_MAX);
    pos = put_name_colon(pos, name);
    pos += format_number(pos, 314, "%g", value);
    return put_char(pos, ',');
}

static const char base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/* The two characters of every 12-bit group: two lookups per 3 bytes. */
static char base64_pairs[4096][2];
static pthread_once_t base64_pairs_once = PTHREAD_ONCE_INIT;

static void build_base64_pairs(void)
{
    for (int i = 0; i < 4096; ++i) {
        base64_pairs[i][0] = base64_alphabet[i >> 6];
        base64_pairs[i][1] = base64_alphabet[i & 63];
    }
}

char* json_put_base64(char* pos, const char* name, const void* bytes, uint64_t count)
{
    pthread_once(&base64_pairs_once, build_base64_pairs);
    pos = json_put_name(pos, name);
    /* Straight from the caller's bytes into the text, which never overlap. */
    const unsigned char* __restrict in = static_cast<const unsigned char*>(bytes);
    char* __restrict out = pos;
    uint64_t whole = count / 3 * 3;
    for (uint64_t i = 0; i < whole; i += 3) {
        uint32_t v = (uint32_t)in[i] << 16 | (uint32_t)in[i + 1] << 8 | in[i + 2];
        memcpy(out, base64_pairs[v >> 12], 2);
        memcpy(out + 2, base64_pairs[v & 4095], 2);
        out += 4;
    }
    uint64_t rest = count - whole;
    if (rest) {
        uint32_t v = (uint32_t)in[whole] << 16 | (rest == 2 ? (uint32_t)in[whole + 1] << 8 : 0);
        out[0] = base64_alphabet[v >> 18];
        out[1] = base64_alphabet[(v >> 12) & 63];
        out[2] = rest == 2 ? base64_alphabet[(v >> 6) & 63] : '=';
        out[3] = '=';
        out += 4;
    }
    *out++ = '"';
    return put_char(out, ',');
}

char* json_end(const char* text, char* pos)
{
    if (pos && pos > text && pos[-1] == ',') {
        --pos;
        *pos = '\0';
    }
    return pos;
}

uint64_t json_base64_length(uint64_t count)
{
    if (count / 3 > UINT64_MAX / 4 - 1)
        return UINT64_MAX;
    return (count + 2) / 3 * 4;
}

/* ---- growing layer --------------------------------------------------------- */

static uint64_t name_room(const char* name, uint64_t with_name, uint64_t without)
{
    return name ? strlen(name) + with_name : without;
}

static uint64_t add_room(uint64_t a, uint64_t b)
{
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

/* Makes room bytes free after pos: reallocates to 2 x capacity + growth when
 * they are not, and returns pos moved into the (possibly new) text, or NULL
 * with the old text and capacity untouched. */
static char* reserve(char** text, uint64_t* capacity, char* pos, uint64_t room, uint64_t growth)
{
    if (!text || !capacity || room == UINT64_MAX || growth == UINT64_MAX)
        return NULL;
    if (!*text) {
        if (pos || *capacity != 0)
            return NULL;
    } else if (!pos || pos < *text || (uint64_t)(pos - *text) >= *capacity) {
        return NULL; /* the position must lie on the text's zero or before it */
    }
    uint64_t used = *text ? (uint64_t)(pos - *text) : 0;
    if (*capacity >= used && *capacity - used >= room)
        return pos;
    if (*capacity > (UINT64_MAX - growth) / 2)
        return NULL;
    uint64_t grown = 2 * *capacity + growth;
    char* fresh = static_cast<char*>(json_realloc(*text, (size_t)grown));
    if (!fresh)
        return NULL;
    *text = fresh;
    *capacity = grown;
    return fresh + used;
}

static char* reserve_room(char** text, uint64_t* capacity, char* pos, uint64_t room)
{
    if (room > UINT64_MAX / 2)
        return NULL;
    return reserve(text, capacity, pos, room, 2 * room);
}

namespace plugin {
namespace {

/* A growing writer of a token of fixed room: the name's length plus WithName
 * bytes with a name, Bare bytes without one. */
template <uint64_t WithName, uint64_t Bare, typename Put, typename... Args>
char* put_fixed(char** text, uint64_t* capacity, char* pos, const char* name, Put put, Args... args)
{
    pos = reserve_room(text, capacity, pos, name_room(name, WithName, Bare));
    return pos ? put(pos, name, args...) : nullptr;
}

} // namespace
} // namespace plugin

using plugin::put_fixed;

char* json_obj_open(char** text, uint64_t* capacity, char* pos, const char* name)
{
    return put_fixed<6, 2>(text, capacity, pos, name, json_put_obj_open);
}

char* json_arr_open(char** text, uint64_t* capacity, char* pos, const char* name)
{
    return put_fixed<6, 2>(text, capacity, pos, name, json_put_arr_open);
}

char* json_obj_close(char** text, uint64_t* capacity, char* pos)
{
    pos = reserve(text, capacity, pos, 3, 4);
    return pos ? json_put_obj_close(*text, pos) : NULL;
}

char* json_arr_close(char** text, uint64_t* capacity, char* pos)
{
    pos = reserve(text, capacity, pos, 3, 4);
    return pos ? json_put_arr_close(*text, pos) : NULL;
}

char* json_str(char** text, uint64_t* capacity, char* pos, const char* name, const char* value)
{
    uint64_t room = add_room(name_room(name, 9, 4), json_escaped_length(value, SIZE_MAX));
    pos = reserve_room(text, capacity, pos, room);
    return pos ? json_put_str(pos, name, value, SIZE_MAX) : NULL;
}

char* json_int(char** text, uint64_t* capacity, char* pos, const char* name, int32_t value)
{
    return put_fixed<29, 24>(text, capacity, pos, name, json_put_int, value);
}

char* json_int64(char** text, uint64_t* capacity, char* pos, const char* name, int64_t value)
{
    return put_fixed<31, 26>(text, capacity, pos, name, json_put_int64, value);
}

char* json_uint(char** text, uint64_t* capacity, char* pos, const char* name, uint32_t value)
{
    return put_fixed<29, 24>(text, capacity, pos, name, json_put_uint, value);
}

char* json_uint64(char** text, uint64_t* capacity, char* pos, const char* name, uint64_t value)
{
    return put_fixed<31, 26>(text, capacity, pos, name, json_put_uint64, value);
}

char* json_double(char** text, uint64_t* capacity, char* pos, const char* name, double value)
{
    if (isnan(value))
        return json_str(text, capacity, pos, name, "nan");
    if (fabs(value) > DBL_MAX)
        return json_str(text, capacity, pos, name, "inf");
    return put_fixed<321, 316>(text, capacity, pos, name, json_put_double, value);
}

char* json_null(char** text, uint64_t* capacity, char* pos, const char* name)
{
    /* "null," and its terminating zero take 6 bytes without a name. */
    return put_fixed<10, 6>(text, capacity, pos, name, json_put_null);
}

char* json_bool(char** text, uint64_t* capacity, char* pos, const char* name, bool value)
{
    return put_fixed<11, 7>(text, capacity, pos, name, json_put_bool, value);
}

char* json_base64(char** text, uint64_t* capacity, char* pos, const char* name, const void* bytes,
                  uint64_t count)
{
    if (!bytes && count)
        return NULL;
    uint64_t room = add_room(add_room(name_room(name, 5, 0), json_base64_length(count)), 5);
    pos = reserve_room(text, capacity, pos, room);
    return pos ? json_put_base64(pos, name, bytes, count) : NULL;
}
