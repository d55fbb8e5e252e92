/* Streaming JSON writer. Each call appends one token at a write position and
 * returns the position after it (the text stays zero-terminated there).
 * Members and closers append ','; closers and json_end remove the ',' that
 * directly precedes them. Names are literals of the code and are not escaped;
 * string values are escaped, with invalid UTF-8 bytes written as U+FFFD.
 *
 * Growing writers take the address of the text and of its capacity and
 * reallocate before a token could overflow; they return NULL when the buffer
 * cannot grow (the old text and capacity stay valid) or when given a NULL or
 * out-of-range position. An empty buffer (NULL text, capacity 0) starts with
 * the position NULL. Raw json_put_* writers do no room check. */
#ifndef BRINDLECAST_JSON_H
#define BRINDLECAST_JSON_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct json_buffer {
    char* text;
    uint64_t capacity;
} json_buffer;

/* Growing writers. */
char* json_obj_open(char** text, uint64_t* capacity, char* pos, const char* name);
char* json_obj_close(char** text, uint64_t* capacity, char* pos);
char* json_arr_open(char** text, uint64_t* capacity, char* pos, const char* name);
char* json_arr_close(char** text, uint64_t* capacity, char* pos);
char* json_str(char** text, uint64_t* capacity, char* pos, const char* name, const char* value);
char* json_int(char** text, uint64_t* capacity, char* pos, const char* name, int32_t value);
char* json_int64(char** text, uint64_t* capacity, char* pos, const char* name, int64_t value);
char* json_uint(char** text, uint64_t* capacity, char* pos, const char* name, uint32_t value);
char* json_uint64(char** text, uint64_t* capacity, char* pos, const char* name, uint64_t value);
/* NaN is written as the string "nan", a magnitude beyond DBL_MAX as "inf". */
char* json_double(char** text, uint64_t* capacity, char* pos, const char* name, double value);
char* json_null(char** text, uint64_t* capacity, char* pos, const char* name);
char* json_bool(char** text, uint64_t* capacity, char* pos, const char* name, bool value);
/* The base64 text (RFC 4648, '=' padded) of `count` bytes as a string value. */
char* json_base64(char** text, uint64_t* capacity, char* pos, const char* name, const void* bytes,
                  uint64_t count);

/* Raw writers. Closers and json_end take the text start so that they never
 * look before it. */
char* json_put_obj_open(char* pos, const char* name);
char* json_put_obj_close(const char* text, char* pos);
char* json_put_arr_open(char* pos, const char* name);
char* json_put_arr_close(const char* text, char* pos);
/* "name":" or, without a name, the opening quote alone. */
char* json_put_name(char* pos, const char* name);
/* At most `max_count` bytes of the value are read (SIZE_MAX: up to its zero). */
char* json_put_str(char* pos, const char* name, const char* value, size_t max_count);
char* json_put_null(char* pos, const char* name);
char* json_put_bool(char* pos, const char* name, bool value);
char* json_put_int(char* pos, const char* name, int32_t value);
char* json_put_int64(char* pos, const char* name, int64_t value);
char* json_put_uint(char* pos, const char* name, uint32_t value);
char* json_put_uint64(char* pos, const char* name, uint64_t value);
char* json_put_double(char* pos, const char* name, double value);
char* json_put_base64(char* pos, const char* name, const void* bytes, uint64_t count);
/* Removes a final ',' (replaced by the terminating zero). NULL stays NULL. */
char* json_end(const char* text, char* pos);

/* Bytes the escaped form of a value takes (without quotes), reading at most
 * `max_count` bytes of it. */
uint64_t json_escaped_length(const char* value, size_t max_count);
/* Characters of the base64 text of `count` bytes; UINT64_MAX when it would
 * not fit 64 bits. */
uint64_t json_base64_length(uint64_t count);

/* Fixed-buffer writers: `end` is one past the buffer's last byte. A token
 * that does not fit together with the terminating zero is not written and
 * NULL is returned. */
char* json_fixed_obj_open(char* pos, const char* end, const char* name);
char* json_fixed_obj_close(const char* text, char* pos, const char* end);
char* json_fixed_arr_open(char* pos, const char* end, const char* name);
char* json_fixed_arr_close(const char* text, char* pos, const char* end);
char* json_fixed_str(char* pos, const char* end, const char* name, const char* value);
char* json_fixed_int(char* pos, const char* end, const char* name, int32_t value);

/* In-place parser: tokens point into the text; string tokens are unescaped
 * in place and zero-terminated (their closing quote becomes the zero). */
typedef enum json_kind {
    JSON_OBJECT = 1,
    JSON_ARRAY,
    JSON_STRING,
    JSON_NUMBER,
    JSON_TRUE,
    JSON_FALSE,
    JSON_NULL,
} json_kind;

typedef struct json_token {
    json_kind kind;
    int parent;      /* index of the enclosing object or array, -1 at the top */
    int children;    /* direct members (an object counts names and values) */
    char* start;     /* string: unescaped text; number: its first character */
    size_t length;   /* string: unescaped bytes; number: characters */
} json_token;

/* Parses one value over text[0, length) (trailing blanks allowed). Returns
 * the number of tokens, or -1 for malformed text, -2 when more than
 * `max_tokens` tokens would be needed. Object names are string tokens. */
int json_parse(char* text, size_t length, json_token* tokens, int max_tokens);

#ifdef __cplusplus
}
#endif

#endif /* BRINDLECAST_JSON_H */
