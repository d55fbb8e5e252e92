/* Pixel conversion and normalisation shared by the image and frame loaders. */
#ifndef KESTRUNE_IMAGE_CONVERT_H
#define KESTRUNE_IMAGE_CONVERT_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NN_IMAGE_SCALE_UNSIGNED 0.003921569f /* 1 / 255 */
#define NN_IMAGE_SCALE_SIGNED 0.007843138f   /* 2 / 255 */

/* dst[i] = src[i] for n bytes. */
void nn_image_bytes_to_float(float* dst, const uint8_t* src, size_t n);

/* The first three bytes of each of `pixels` RGBA pixels become three floats.
 * Overlapping memory is converted as if the source had been read first;
 * false only when the scratch copy that needs could not be allocated. */
bool nn_image_rgba_to_float(float* dst, const uint8_t* rgba, size_t pixels);

/* The scalar conversion, always one pixel at a time (reference for tests and
 * the benchmark). */
void nn_image_rgba_to_float_scalar(float* dst, const uint8_t* rgba, size_t pixels);

/* Per-image standardisation of n floats in place. */
void standardize_buffer(float* data, size_t n);

/* Applies the normalisation flags (normalize, signed normalize, whitening, in
 * that order) of `proc` to n floats. */
void nn_image_apply_proc(float* data, size_t n, uint32_t proc);

#ifdef __cplusplus
}
#endif

#endif
