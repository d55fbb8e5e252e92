/* Checks made on an encoded picture before stb_image may decode it. */
#ifndef KESTRUNE_IMAGE_PICTURE_CHECK_H
#define KESTRUNE_IMAGE_PICTURE_CHECK_H

#include <stdint.h>

namespace kestrune {
namespace picture {

/* Pictures come from network clients: a decoded picture holds at most 2^24
 * pixels (4096 x 4096), however few bytes describe it. */
constexpr int64_t kMaxPixels = int64_t{1} << 24;

/* Whether the picture in the file at `path`, or (path NULL) the `size` bytes
 * at `data`, may be handed to stb_image.  Formats are told apart by their
 * signatures, as stb_image picks its decoder:
 *   - Radiance HDR and Softimage PIC are refused (a truncated HDR never ends
 *     its run-length loop; a failed PIC decode is converted from NULL);
 *   - binary pixmaps, PNG and uncompressed TGA must hold the bytes their
 *     headers promise, PNG chunks must fit the picture, a JPEG may have at
 *     most 64 scans (each scan is a pass over the whole picture);
 *   - BMP, GIF and PSD go to the decoder as they are. */
bool acceptable(const char* path, const unsigned char* data, uint64_t size) noexcept;

} // namespace picture
} // namespace kestrune

#endif
