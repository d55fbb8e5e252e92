/* The one compiled copy of stb_sprintf in the plug-ins (hidden like the rest
 * of the framework). */
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wsign-compare"
#endif
/* Byte-wise copies instead of misaligned word accesses (undefined in C). */
#define STB_SPRINTF_NOUNALIGNED
#define STB_SPRINTF_IMPLEMENTATION
#include <stb/stb_sprintf.h>
