#include <stdlib.h>

#include "kestrune/nn.h"

static const char* const status_texts[] = {
    "success",
    "internal error",
    "invalid handle",
    "out of memory",
    "out of resources",
    "not implemented",
    "invalid parameter",
    "type mismatch",
    "shape mismatch",
    "invalid shape",
    "invalid ordering",
    "invalid axis",
    "missing resource",
    "invalid engine",
    "tensor no data",
    "kernel missing",
    "tensor type unsupported",
    "too many inputs",
    "system error",
    "invalid layer",
    "invalid model",
    "missing model",
    "string too large",
    "invalid quantization parameters",
};

NN_API const char* nn_strerror(int status)
{
    unsigned code = (unsigned)status;
    if (code >= sizeof status_texts / sizeof status_texts[0])
        return NULL;
    return status_texts[code];
}

static const char version_text[] = "2.4.25";

NN_API const char* nn_version(void) { return version_text; }

NN_API int nn_init(void) { return 0; }

__attribute__((constructor)) static void nn_init_constructor(void)
{
    if (nn_init() != 0)
        exit(1);
}
