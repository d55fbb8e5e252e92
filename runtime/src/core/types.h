/* The one table of element types: sizes and the names the model queries print. */
#ifndef KESTRUNE_CORE_TYPES_H
#define KESTRUNE_CORE_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NN_TYPE_COUNT 13

/* Element size of a type code; 0 for any code above 12. */
size_t nn_type_size(uint32_t type);
/* "RAW" ... "F64"; NULL for any code above 12. */
const char* nn_type_name(uint32_t type);

/* IEEE half-precision bits to float (subnormals, infinities and NaN kept). */
float nn_half_to_float(uint16_t bits);
/* Element `index` of an array of `type`, converted to double: integers by
 * value, FLOAT16/32/64 as their value, RAW and STRING as unsigned bytes.
 * Types above 12 have no elements and give 0. */
double nn_element_to_double(uint32_t type, const void* data, size_t index);

#ifdef __cplusplus
}
#endif

#endif
