/* Picture input of the plug-ins over outside libraries: a PNG, BMP, JPEG
 * (anything stb_image reads) decoded from memory, resized to the input's
 * height and width when it differs, and stored into the caller's input
 * buffer as bytes, signed bytes or normalised floats, interleaved or plane
 * by plane.  The runtime and the OpenVX graph library have loaders of their
 * own. */
#ifndef BRINDLECAST_PLUGIN_IMAGE_H
#define BRINDLECAST_PLUGIN_IMAGE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum plugin_element {
    PLUGIN_ELEMENT_UINT8 = 0,   /* the bytes as decoded */
    PLUGIN_ELEMENT_INT8 = 1,    /* byte - 128 */
    PLUGIN_ELEMENT_FLOAT32 = 2, /* by the flags below */
    PLUGIN_ELEMENT_OTHER = 3,   /* refused with 16 */
} plugin_element;

typedef enum plugin_layout {
    PLUGIN_LAYOUT_NHWC = 0,     /* channels interleaved, as decoded */
    PLUGIN_LAYOUT_NCHW = 1,     /* all of channel 0, then channel 1, ... */
} plugin_layout;

/* Float conversions ("imgproc"), tried in this order: */
#define PLUGIN_IMAGE_NORMALIZE 1u        /* x * 0.003921569 */
#define PLUGIN_IMAGE_SIGNED_NORMALIZE 4u /* x * 0.007843138 - 1 */
#define PLUGIN_IMAGE_WHITENING 2u        /* (x - mean) / max(stddev, 1/sqrt(n)) */

/* The input a picture is stored into. */
typedef struct plugin_image_target {
    int height;
    int width;
    int channels;              /* 1 to 4 */
    plugin_element element;
    plugin_layout layout;
    void* data;                /* NULL: no input buffer (14) */
    size_t capacity;           /* bytes at data; height x width x channels
                                  elements must fit */
} plugin_image_target;

/* Decodes `length` bytes into the target.  Statuses: 0 stored; 6 NULL data,
 * a length above INT_MAX, a channel count outside 1-4 or a height or width
 * below 1; 16 an element kind other than the three; 5 flags on an 8-bit
 * kind; 1 not a picture stb_image reads; 14 no destination, or one smaller
 * than the input; 3 out of memory. */
int plugin_image_load(const plugin_image_target* target, const void* data, size_t length, uint32_t flags);

#ifdef __cplusplus
}
#endif

#endif /* BRINDLECAST_PLUGIN_IMAGE_H */
