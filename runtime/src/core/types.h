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

#ifdef __cplusplus
}
#endif

#endif
