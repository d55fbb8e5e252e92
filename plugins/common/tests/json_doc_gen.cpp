/* Writes one line per case for check_json_docs.py: the input bytes in hex,
 * a tab, then the document the writer made of them:
 *   {"s": <the bytes as a string>, "b": <their base64>, "n": <count>}
 * Strings are random runs over ASCII, controls, valid UTF-8 and invalid
 * bytes (without zero bytes, which end a string); base64 gets any bytes. */
#include "json.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint64_t state = 0x9E3779B97F4A7C15ull;

static uint32_t next(void)
{
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return (uint32_t)(state >> 32);
}

static size_t random_text(unsigned char* out, size_t length, int mode)
{
    static const char* const pieces[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9D\x84\x9E", "\xED\x9F\xBF",
                                         "\xEF\xBF\xBF", "\xF4\x8F\xBF\xBF", "\"", "\\", "/"};
    size_t n = 0;
    while (n < length) {
        uint32_t r = next();
        if (mode == 0 || r % 4 == 0) {
            unsigned char c = (unsigned char)(1 + next() % 255);
            out[n++] = c;
        } else if (r % 4 == 1) {
            out[n++] = (unsigned char)(1 + next() % 0x1F);
        } else {
            const char* p = pieces[next() % (sizeof pieces / sizeof pieces[0])];
            size_t k = strlen(p);
            if (n + k > length)
                k = length - n; /* may leave a cut sequence: also a case */
            memcpy(out + n, p, k);
            n += k;
        }
    }
    out[n] = 0;
    return n;
}

int main(void)
{
    unsigned char* bytes = static_cast<unsigned char*>(malloc(1001));
    unsigned char* text = static_cast<unsigned char*>(malloc(1001));
    if (!bytes || !text)
        return 1;
    for (int round = 0; round < 2; ++round) {
        for (size_t length = 0; length <= 1000; ++length) {
            for (size_t i = 0; i < length; ++i)
                bytes[i] = (unsigned char)next();
            size_t n = random_text(text, length, round);
            char* doc = NULL;
            uint64_t capacity = 0;
            char* pos = json_obj_open(&doc, &capacity, NULL, NULL);
            pos = json_str(&doc, &capacity, pos, "s", (const char*)text);
            pos = json_base64(&doc, &capacity, pos, "b", bytes, length);
            pos = json_uint64(&doc, &capacity, pos, "n", length);
            pos = json_obj_close(&doc, &capacity, pos);
            pos = json_end(doc, pos);
            if (!pos)
                return 1;
            for (size_t i = 0; i < n; ++i)
                printf("%02x", text[i]);
            putchar(' ');
            for (size_t i = 0; i < length; ++i)
                printf("%02x", bytes[i]);
            putchar('\t');
            fwrite(doc, 1, (size_t)(pos - doc), stdout);
            putchar('\n');
            free(doc);
        }
    }
    free(bytes);
    free(text);
    return 0;
}
