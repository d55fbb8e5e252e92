#include "multipart.h"

#include <stdbool.h>
#include <string.h>

static const char disposition_key[] = "Content-Disposition: ";
static const char type_key[] = "Content-Type: ";

static void copy_bounded(char* dest, size_t capacity, const char* src, size_t count)
{
    if (!dest || capacity == 0)
        return;
    if (count > capacity - 1)
        count = capacity - 1;
    memcpy(dest, src, count);
    dest[count] = '\0';
}

static const char* find_in(const char* begin, const char* end, const char* key, size_t key_length)
{
    if (end <= begin)
        return NULL;
    return static_cast<const char*>(memmem(begin, (size_t)(end - begin), key, key_length));
}

static bool is_value_end(char c)
{
    return c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

const char* multipart_copy_value(const char* value, char* dest, const char* line_end, size_t capacity)
{
    const char* start = value;
    const char* stop;
    const char* after;

    if (value >= line_end) {
        copy_bounded(dest, capacity, value, 0);
        return line_end;
    }
    char quote = 0;
    if (*value == '"' || *value == '\'') {
        quote = *value;
        start = value + 1;
    } else if (*value == '\\' && value + 1 < line_end && (value[1] == '"' || value[1] == '\'')) {
        quote = value[1];
        start = value + 2;
    }
    if (quote) {
        stop = static_cast<const char*>(memchr(start, quote, (size_t)(line_end - start)));
        if (!stop) {
            stop = line_end;
            /* An unclosed quote runs to the line end, less its CR. */
            if (stop > start && stop[-1] == '\r')
                --stop;
            after = line_end;
        } else {
            after = stop + 1;
        }
    } else {
        stop = start;
        while (stop < line_end && !is_value_end(*stop))
            ++stop;
        after = stop;
    }
    copy_bounded(dest, capacity, start, (size_t)(stop - start));
    return after;
}

/* Skips a parameter that is neither name= nor filename= (such as form-data),
 * stepping over quoted text so that a quoted "; name=" is not taken. */
static const char* skip_parameter(const char* p, const char* line_end)
{
    while (p < line_end && *p != ';' && *p != ' ' && *p != '\t') {
        if (*p == '"' || *p == '\'') {
            const char* close = static_cast<const char*>(memchr(p + 1, *p, (size_t)(line_end - p - 1)));
            p = close ? close + 1 : line_end;
        } else {
            ++p;
        }
    }
    return p;
}

/* Reads the parameters after "Content-Disposition: "; name= and filename=
 * count only at a parameter start, and the first of each wins. */
static void read_disposition(const char* p, const char* line_end, char* name, char* filename,
                             size_t filename_capacity)
{
    bool have_name = false, have_filename = false;
    while (p < line_end) {
        if (*p == ';' || *p == ' ' || *p == '\t') {
            ++p;
            continue;
        }
        size_t left = (size_t)(line_end - p);
        if (left >= 5 && memcmp(p, "name=", 5) == 0) {
            char scratch[1];
            p = multipart_copy_value(p + 5, have_name ? scratch : name,
                                     line_end, have_name ? 1 : MULTIPART_NAME_SIZE);
            have_name = true;
        } else if (left >= 9 && memcmp(p, "filename=", 9) == 0) {
            char scratch[1];
            if (have_filename || !filename)
                p = multipart_copy_value(p + 9, scratch, line_end, 1);
            else
                p = multipart_copy_value(p + 9, filename, line_end, filename_capacity);
            have_filename = true;
        } else {
            p = skip_parameter(p, line_end);
        }
    }
}

uint64_t multipart_next_part(const char* text, uint64_t length, char name[MULTIPART_NAME_SIZE],
                             char* filename, size_t filename_capacity, char* content_type,
                             size_t content_type_capacity, const char** data, uint64_t* data_length)
{
    if (!text || length < 3)
        return 0;

    if (text[0] != '-' || text[1] != '-' || text[2] == '\n')
        return 0;
    /* The head ends at the first LF followed by CR LF; a zero byte before it
     * means this is no part head. */
    uint64_t head_lf = 0;
    bool found = false;
    for (uint64_t i = 0; i + 2 < length; ++i) {
        char c = text[i];
        if (c == '\0')
            return 0;
        if (c == '\n' && text[i + 1] == '\r' && text[i + 2] == '\n') {
            head_lf = i;
            found = true;
            break;
        }
    }
    if (!found)
        return 0;

    /* The delimiter line ends at the first LF, which lies at or before head_lf. */
    const char* first_lf = static_cast<const char*>(memchr(text, '\n', (size_t)head_lf + 1));
    uint64_t line_end = (uint64_t)(first_lf - text);
    uint64_t boundary_length = line_end;
    if (boundary_length > 0 && text[boundary_length - 1] == '\r')
        --boundary_length;
    if (boundary_length < 3 || boundary_length > MULTIPART_BOUNDARY_MAX)
        return 0;

    if (name)
        name[0] = '\0';
    if (filename && filename_capacity > 0)
        filename[0] = '\0';

    uint64_t data_start = head_lf + 3;

    /* Header lines after the delimiter line, the last one ending at head_lf. */
    const char* line = text + line_end + 1;
    const char* head_end = text + head_lf;
    while (line <= head_end) {
        const char* lf = static_cast<const char*>(memchr(line, '\n', (size_t)(head_end - line) + 1));
        const char* content_end = lf;
        if (content_end > line && content_end[-1] == '\r')
            --content_end;
        const char* key = find_in(line, content_end, disposition_key, sizeof disposition_key - 1);
        if (key) {
            char scratch[MULTIPART_NAME_SIZE];
            read_disposition(key + sizeof disposition_key - 1, content_end, name ? name : scratch,
                             filename, filename_capacity);
        }
        /* A Content-Type text inside the disposition's values is no header. */
        key = find_in(line, key ? key : content_end, type_key, sizeof type_key - 1);
        if (key) {
            const char* value = key + sizeof type_key - 1;
            copy_bounded(content_type, content_type_capacity, value, (size_t)(content_end - value));
        }
        line = lf + 1;
    }

    /* The next delimiter counts only right after CR LF; the head's own CR LF
     * stands before the data, so a delimiter at the data start is an empty
     * part. The delimiter must end its line or be the closing one. The search
     * is memmem's (linear); a hit without CR LF before it is passed over. */
    uint64_t from = data_start;
    while (from + boundary_length <= length) {
        const char* hit = static_cast<const char*>(memmem(text + from, (size_t)(length - from), text, (size_t)boundary_length));
        if (!hit)
            return 0;
        uint64_t at = (uint64_t)(hit - text);
        uint64_t after = at + boundary_length;
        bool after_crlf = text[at - 2] == '\r' && text[at - 1] == '\n';
        bool ends_line = after == length || text[after] == '\r' || text[after] == '\n' ||
                         text[after] == ' ' || text[after] == '\t' ||
                         (text[after] == '-' && (after + 1 == length || text[after + 1] == '-'));
        if (after_crlf && ends_line) {
            if (data)
                *data = text + data_start;
            if (data_length)
                *data_length = at == data_start ? 0 : at - 2 - data_start;
            return at;
        }
        from = at + 1;
    }
    return 0;
}
