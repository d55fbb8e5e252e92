/* multipart/form-data parsing over a (pointer, length) body: one part per
 * call, pointing into the caller's bytes, never reading outside them. */
#ifndef BRINDLECAST_MULTIPART_H
#define BRINDLECAST_MULTIPART_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Every caller's part-name buffer has this size (names are cut to 63 bytes). */
#define MULTIPART_NAME_SIZE 64
/* Default size of the filename and content-type buffers of `multipart_part`. */
#define MULTIPART_FIELD_SIZE 64
/* Longest delimiter line accepted (without its line end); longer first lines
 * are not multipart delimiters (a boundary has at most 70 characters). */
#define MULTIPART_BOUNDARY_MAX 256

typedef struct multipart_part {
    char name[MULTIPART_NAME_SIZE];
    char filename[MULTIPART_FIELD_SIZE];
    char content_type[MULTIPART_FIELD_SIZE];
    const char* data;
    uint64_t length;
} multipart_part;

/* Parses the part that starts at `text` (its delimiter line). Returns the
 * offset of the next delimiter line, or 0 when no complete part starts here;
 * on success *data points into [text, text + length) and *data_length bytes
 * from it lie inside that range too. The name and filename are cleared first;
 * the content type is written only when the part has a "Content-Type: " line.
 * `filename` and `content_type` may be NULL (or have capacity 0). */
uint64_t multipart_next_part(const char* text, uint64_t length, char name[MULTIPART_NAME_SIZE],
                             char* filename, size_t filename_capacity, char* content_type,
                             size_t content_type_capacity, const char** data, uint64_t* data_length);

/* Copies one header parameter value (`value` points right after "name=")
 * that ends at or before `line_end` into `dest`, cut to capacity - 1 bytes and
 * zero-terminated. Returns the position just after the value (after its
 * closing quote when quoted). */
const char* multipart_copy_value(const char* value, char* dest, const char* line_end, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* BRINDLECAST_MULTIPART_H */
