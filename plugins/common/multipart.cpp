#include "multipart.h"

#include <string.h>

#include <string_view>

namespace plugin {
namespace {

using std::string_view;
constexpr size_t npos = string_view::npos;

constexpr string_view disposition_key = "Content-Disposition: ";
constexpr string_view type_key = "Content-Type: ";

void copy_bounded(char* dest, size_t capacity, string_view src)
{
    if (!dest || capacity == 0)
        return;
    const size_t count = src.size() < capacity - 1 ? src.size() : capacity - 1;
    if (count)
        memcpy(dest, src.data(), count);
    dest[count] = '\0';
}

bool starts_with(string_view text, string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

bool is_value_end(char c)
{
    return c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

/* Copies the parameter value that starts `rest` (the rest of its line) into
 * `dest`; returns the bytes of `rest` it took, its closing quote included. */
size_t copy_value(string_view rest, char* dest, size_t capacity)
{
    if (rest.empty()) {
        copy_bounded(dest, capacity, rest);
        return 0;
    }
    char quote = 0;
    size_t start = 0;
    if (rest[0] == '"' || rest[0] == '\'') {
        quote = rest[0];
        start = 1;
    } else if (rest[0] == '\\' && rest.size() > 1 && (rest[1] == '"' || rest[1] == '\'')) {
        quote = rest[1];
        start = 2;
    }
    size_t stop = start;
    size_t after;
    if (quote) {
        const size_t close = rest.find(quote, start);
        if (close == npos) {
            stop = rest.size();
            /* An unclosed quote runs to the line end, less its CR. */
            if (stop > start && rest[stop - 1] == '\r')
                --stop;
            after = rest.size();
        } else {
            stop = close;
            after = close + 1;
        }
    } else {
        while (stop < rest.size() && !is_value_end(rest[stop]))
            ++stop;
        after = stop;
    }
    copy_bounded(dest, capacity, rest.substr(start, stop - start));
    return after;
}

/* Skips a parameter that is neither name= nor filename= (such as form-data),
 * stepping over quoted text so that a quoted "; name=" is not taken; returns
 * the bytes it took. */
size_t skip_parameter(string_view rest)
{
    size_t i = 0;
    while (i < rest.size() && rest[i] != ';' && rest[i] != ' ' && rest[i] != '\t') {
        if (rest[i] == '"' || rest[i] == '\'') {
            const size_t close = rest.find(rest[i], i + 1);
            i = close == npos ? rest.size() : close + 1;
        } else {
            ++i;
        }
    }
    return i;
}

/* Reads the parameters after "Content-Disposition: "; name= and filename=
 * count only at a parameter start, and the first of each wins. */
void read_disposition(string_view params, char* name, char* filename, size_t filename_capacity)
{
    constexpr string_view name_key = "name=";
    constexpr string_view filename_key = "filename=";
    bool have_name = false, have_filename = false;
    while (!params.empty()) {
        const char c = params[0];
        if (c == ';' || c == ' ' || c == '\t') {
            params.remove_prefix(1);
            continue;
        }
        char scratch[1];
        if (starts_with(params, name_key)) {
            params.remove_prefix(name_key.size());
            params.remove_prefix(
                copy_value(params, have_name ? scratch : name, have_name ? 1 : MULTIPART_NAME_SIZE));
            have_name = true;
        } else if (starts_with(params, filename_key)) {
            params.remove_prefix(filename_key.size());
            const bool keep = !have_filename && filename;
            params.remove_prefix(copy_value(params, keep ? filename : scratch, keep ? filename_capacity : 1));
            have_filename = true;
        } else {
            params.remove_prefix(skip_parameter(params));
        }
    }
}

/* multipart_next_part over a body of at least 3 bytes. */
size_t next_part(string_view body, char* name, char* filename, size_t filename_capacity, char* content_type,
                 size_t content_type_capacity, const char** data, uint64_t* data_length)
{
    if (body[0] != '-' || body[1] != '-' || body[2] == '\n')
        return 0;
    /* The head ends at the first LF followed by CR LF; a zero byte before it
     * means this is no part head. */
    size_t head_lf = npos;
    for (size_t i = 0; i + 2 < body.size(); ++i) {
        const char c = body[i];
        if (c == '\0')
            return 0;
        if (c == '\n' && body[i + 1] == '\r' && body[i + 2] == '\n') {
            head_lf = i;
            break;
        }
    }
    if (head_lf == npos)
        return 0;

    /* The delimiter line ends at the first LF, which lies at or before head_lf. */
    const size_t line_end = body.find('\n');
    size_t boundary_length = line_end;
    if (boundary_length > 0 && body[boundary_length - 1] == '\r')
        --boundary_length;
    if (boundary_length < 3 || boundary_length > MULTIPART_BOUNDARY_MAX)
        return 0;

    if (name)
        name[0] = '\0';
    if (filename && filename_capacity > 0)
        filename[0] = '\0';

    /* Header lines after the delimiter line, the last one's LF at head_lf. */
    for (string_view head = body.substr(line_end + 1, head_lf - line_end); !head.empty();) {
        const size_t lf = head.find('\n');
        string_view line = head.substr(0, lf);
        head.remove_prefix(lf + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const size_t key = line.find(disposition_key);
        if (key != npos) {
            char scratch[MULTIPART_NAME_SIZE];
            read_disposition(line.substr(key + disposition_key.size()), name ? name : scratch, filename,
                             filename_capacity);
        }
        /* A Content-Type text inside the disposition's values is no header. */
        const size_t type = line.substr(0, key).find(type_key);
        if (type != npos)
            copy_bounded(content_type, content_type_capacity, line.substr(type + type_key.size()));
    }

    /* The next delimiter counts only right after CR LF; the head's own CR LF
     * stands before the data, so a delimiter at the data start is an empty
     * part. The delimiter must end its line or be the closing one. The search
     * is memmem's (linear); a hit without CR LF before it is passed over. */
    const size_t data_start = head_lf + 3;
    for (size_t from = data_start; from + boundary_length <= body.size();) {
        const char* hit =
            static_cast<const char*>(memmem(body.data() + from, body.size() - from, body.data(), boundary_length));
        if (!hit)
            return 0;
        const size_t at = static_cast<size_t>(hit - body.data());
        const size_t after = at + boundary_length;
        const bool after_crlf = body[at - 2] == '\r' && body[at - 1] == '\n';
        const bool ends_line = after == body.size() || body[after] == '\r' || body[after] == '\n' ||
                               body[after] == ' ' || body[after] == '\t' ||
                               (body[after] == '-' && (after + 1 == body.size() || body[after + 1] == '-'));
        if (after_crlf && ends_line) {
            if (data)
                *data = body.data() + data_start;
            if (data_length)
                *data_length = at == data_start ? 0 : at - 2 - data_start;
            return at;
        }
        from = at + 1;
    }
    return 0;
}

} // namespace
} // namespace plugin

const char* multipart_copy_value(const char* value, char* dest, const char* line_end, size_t capacity)
{
    if (value >= line_end) {
        plugin::copy_bounded(dest, capacity, std::string_view());
        return line_end;
    }
    return value + plugin::copy_value(std::string_view(value, static_cast<size_t>(line_end - value)), dest, capacity);
}

uint64_t multipart_next_part(const char* text, uint64_t length, char name[MULTIPART_NAME_SIZE],
                             char* filename, size_t filename_capacity, char* content_type,
                             size_t content_type_capacity, const char** data, uint64_t* data_length)
{
    if (!text || length < 3)
        return 0;
    return plugin::next_part(std::string_view(text, static_cast<size_t>(length)), name, filename,
                             filename_capacity, content_type, content_type_capacity, data, data_length);
}
