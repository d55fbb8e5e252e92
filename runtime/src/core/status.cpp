#include <stdlib.h>

#include <array>
#include <cstddef>

#include "kestrune/nn.h"

namespace {

struct StatusText {
    nn_error code;
    const char* text;
};

/* Written as pairs so that the checks below catch a text out of place. */
constexpr std::array<StatusText, NN_ERROR_INVALID_QUANTIZATION + 1> status_texts{{
    {NN_SUCCESS, "success"},
    {NN_ERROR_INTERNAL, "internal error"},
    {NN_ERROR_INVALID_HANDLE, "invalid handle"},
    {NN_ERROR_OUT_OF_MEMORY, "out of memory"},
    {NN_ERROR_OUT_OF_RESOURCES, "out of resources"},
    {NN_ERROR_NOT_IMPLEMENTED, "not implemented"},
    {NN_ERROR_INVALID_PARAMETER, "invalid parameter"},
    {NN_ERROR_TYPE_MISMATCH, "type mismatch"},
    {NN_ERROR_SHAPE_MISMATCH, "shape mismatch"},
    {NN_ERROR_INVALID_SHAPE, "invalid shape"},
    {NN_ERROR_INVALID_ORDERING, "invalid ordering"},
    {NN_ERROR_INVALID_AXIS, "invalid axis"},
    {NN_ERROR_MISSING_RESOURCE, "missing resource"},
    {NN_ERROR_INVALID_ENGINE, "invalid engine"},
    {NN_ERROR_TENSOR_NO_DATA, "tensor no data"},
    {NN_ERROR_KERNEL_MISSING, "kernel missing"},
    {NN_ERROR_TENSOR_TYPE_UNSUPPORTED, "tensor type unsupported"},
    {NN_ERROR_TOO_MANY_INPUTS, "too many inputs"},
    {NN_ERROR_SYSTEM_ERROR, "system error"},
    {NN_ERROR_INVALID_LAYER, "invalid layer"},
    {NN_ERROR_INVALID_MODEL, "invalid model"},
    {NN_ERROR_MISSING_MODEL, "missing model"},
    {NN_ERROR_STRING_TOO_LARGE, "string too large"},
    {NN_ERROR_INVALID_QUANTIZATION, "invalid quantization parameters"},
}};

constexpr bool every_code_in_place()
{
    for (std::size_t i = 0; i < status_texts.size(); ++i)
        if (static_cast<std::size_t>(status_texts[i].code) != i || !status_texts[i].text)
            return false;
    return true;
}
static_assert(every_code_in_place(), "status texts are listed by code, each with its text");

constexpr char version_text[] = "2.4.25";

} // namespace

NN_API const char* nn_strerror(int status)
{
    const auto code = static_cast<unsigned>(status);
    if (code >= status_texts.size())
        return nullptr;
    return status_texts[code].text;
}

NN_API const char* nn_version(void) { return version_text; }

NN_API int nn_init(void) { return 0; }

__attribute__((constructor)) static void nn_init_constructor(void)
{
    if (nn_init() != 0)
        exit(1);
}
