/* A small in-place JSON parser: an explicit container stack in the token
 * array (no recursion), strings unescaped where they stand. */
#include "json.h"

#include <string.h>

typedef struct parser {
    char* p;
    char* end;
    json_token* tokens;
    int count;
    int max;
} parser;

static void skip_blanks(parser* ps)
{
    while (ps->p < ps->end && (*ps->p == ' ' || *ps->p == '\t' || *ps->p == '\n' || *ps->p == '\r'))
        ++ps->p;
}

static int add_token(parser* ps, json_kind kind, int parent, char* start, size_t length)
{
    if (ps->count >= ps->max)
        return -2;
    json_token* t = &ps->tokens[ps->count];
    t->kind = kind;
    t->parent = parent;
    t->children = 0;
    t->start = start;
    t->length = length;
    if (parent >= 0)
        ps->tokens[parent].children++;
    return ps->count++;
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

static int read_hex4(const char* s, const char* end, unsigned* out)
{
    if (end - s < 4)
        return -1;
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
        int h = hex_value(s[i]);
        if (h < 0)
            return -1;
        v = v << 4 | (unsigned)h;
    }
    *out = v;
    return 0;
}

static char* put_utf8(char* out, unsigned cp)
{
    if (cp < 0x80) {
        *out++ = (char)cp;
    } else if (cp < 0x800) {
        *out++ = (char)(0xC0 | cp >> 6);
        *out++ = (char)(0x80 | (cp & 63));
    } else if (cp < 0x10000) {
        *out++ = (char)(0xE0 | cp >> 12);
        *out++ = (char)(0x80 | ((cp >> 6) & 63));
        *out++ = (char)(0x80 | (cp & 63));
    } else {
        *out++ = (char)(0xF0 | cp >> 18);
        *out++ = (char)(0x80 | ((cp >> 12) & 63));
        *out++ = (char)(0x80 | ((cp >> 6) & 63));
        *out++ = (char)(0x80 | (cp & 63));
    }
    return out;
}

/* At the opening quote; the unescaped text never outgrows its escaped form. */
static int parse_string(parser* ps, int parent)
{
    char* start = ++ps->p;
    char* out = start;
    while (ps->p < ps->end) {
        char c = *ps->p;
        if (c == '"') {
            *out = '\0';
            ++ps->p;
            return add_token(ps, JSON_STRING, parent, start, (size_t)(out - start));
        }
        if ((unsigned char)c < 0x20)
            return -1;
        if (c != '\\') {
            *out++ = c;
            ++ps->p;
            continue;
        }
        if (ps->end - ps->p < 2)
            return -1;
        char e = ps->p[1];
        ps->p += 2;
        switch (e) {
        case '"': *out++ = '"'; break;
        case '\\': *out++ = '\\'; break;
        case '/': *out++ = '/'; break;
        case 'b': *out++ = '\b'; break;
        case 'f': *out++ = '\f'; break;
        case 'n': *out++ = '\n'; break;
        case 'r': *out++ = '\r'; break;
        case 't': *out++ = '\t'; break;
        case 'u': {
            unsigned cp;
            if (read_hex4(ps->p, ps->end, &cp) < 0)
                return -1;
            ps->p += 4;
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                unsigned low;
                if (ps->end - ps->p < 6 || ps->p[0] != '\\' || ps->p[1] != 'u' ||
                    read_hex4(ps->p + 2, ps->end, &low) < 0 || low < 0xDC00 || low > 0xDFFF)
                    return -1;
                ps->p += 6;
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                return -1;
            }
            out = put_utf8(out, cp);
            break;
        }
        default:
            return -1;
        }
    }
    return -1;
}

static int is_digit(char c)
{
    return c >= '0' && c <= '9';
}

static int parse_number(parser* ps, int parent)
{
    char* start = ps->p;
    char* p = ps->p;
    if (p < ps->end && *p == '-')
        ++p;
    if (p >= ps->end || !is_digit(*p))
        return -1;
    if (*p == '0')
        ++p;
    else
        while (p < ps->end && is_digit(*p))
            ++p;
    if (p < ps->end && *p == '.') {
        ++p;
        if (p >= ps->end || !is_digit(*p))
            return -1;
        while (p < ps->end && is_digit(*p))
            ++p;
    }
    if (p < ps->end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < ps->end && (*p == '+' || *p == '-'))
            ++p;
        if (p >= ps->end || !is_digit(*p))
            return -1;
        while (p < ps->end && is_digit(*p))
            ++p;
    }
    ps->p = p;
    return add_token(ps, JSON_NUMBER, parent, start, (size_t)(p - start));
}

static int parse_literal(parser* ps, int parent, const char* word, json_kind kind)
{
    size_t n = strlen(word);
    if ((size_t)(ps->end - ps->p) < n || memcmp(ps->p, word, n) != 0)
        return -1;
    char* start = ps->p;
    ps->p += n;
    return add_token(ps, kind, parent, start, n);
}

int json_parse(char* text, size_t length, json_token* tokens, int max_tokens)
{
    if (!text || !tokens || max_tokens <= 0)
        return -1;
    parser ps = {text, text + length, tokens, 0, max_tokens};
    int container = -1;     /* innermost open object or array */
    int expect_value = 1;   /* a value (or an object name) comes next */
    int after_name = 0;     /* inside an object, the value after "name": */

    for (;;) {
        skip_blanks(&ps);
        if (ps.p >= ps.end)
            return -1;
        int in_object = container >= 0 && tokens[container].kind == JSON_OBJECT;
        char c = *ps.p;
        int r;
        if (expect_value) {
            if (in_object && !after_name) {
                /* an object name, or the end of an empty object */
                if (c == '}' && tokens[container].children == 0)
                    goto close;
                if (c != '"')
                    return -1;
                if ((r = parse_string(&ps, container)) < 0)
                    return r;
                skip_blanks(&ps);
                if (ps.p >= ps.end || *ps.p != ':')
                    return -1;
                ++ps.p;
                after_name = 1;
                continue;
            }
            after_name = 0;
            if (c == ']' && container >= 0 && !in_object && tokens[container].children == 0)
                goto close;
            if (c == '{' || c == '[') {
                r = add_token(&ps, c == '{' ? JSON_OBJECT : JSON_ARRAY, container, ps.p, 0);
                if (r < 0)
                    return r;
                ++ps.p;
                container = r;
                continue;
            }
            if (c == '"')
                r = parse_string(&ps, container);
            else if (c == 't')
                r = parse_literal(&ps, container, "true", JSON_TRUE);
            else if (c == 'f')
                r = parse_literal(&ps, container, "false", JSON_FALSE);
            else if (c == 'n')
                r = parse_literal(&ps, container, "null", JSON_NULL);
            else
                r = parse_number(&ps, container);
            if (r < 0)
                return r;
            expect_value = 0;
        } else {
            if (container < 0)
                return -1; /* text after the top value */
            if (c == ',') {
                ++ps.p;
                expect_value = 1;
                continue;
            }
            if (c != (in_object ? '}' : ']'))
                return -1;
            goto close;
        }
        if (container < 0)
            break;
        continue;
    close:
        ++ps.p;
        tokens[container].length = (size_t)(ps.p - tokens[container].start);
        container = tokens[container].parent;
        expect_value = 0;
        if (container < 0)
            break;
    }
    skip_blanks(&ps);
    return ps.p == ps.end ? ps.count : -1;
}
