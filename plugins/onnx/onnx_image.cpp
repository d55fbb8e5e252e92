/* Pictures into the model's input: the layout and element kind come from
 * the input value as it was created, the decoding from the shared picture
 * loader. */
#include "onnx_server.h"

#include <stdio.h>

#include "plugin_image.h"

namespace {

plugin_element element_of(ONNXTensorElementDataType type)
{
    switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8:
        return PLUGIN_ELEMENT_UINT8;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8:
        return PLUGIN_ELEMENT_INT8;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT:
        return PLUGIN_ELEMENT_FLOAT32;
    default:
        return PLUGIN_ELEMENT_OTHER;
    }
}

/* An extent as the loader takes it; 0 (refused there) when it does not fit. */
int extent(int64_t d)
{
    return d > 0 && d <= 0x7FFFFFFF ? (int)d : 0;
}

} // namespace

int onnx_tensor_load_image_ex(int input, nn_server* server, const void* data, size_t length, uint32_t flags)
{
    (void)input; /* one input only */
    if (!data || !server || length > 0x7FFFFFFF)
        return 6;
    /* The dimensions the input value was created with: a dynamic extent of
     * the model (-1) is 1 there, and the buffer holds exactly that much. */
    const int64_t* dims = server->input_dims;
    if (server->input_rank < 4 || dims[0] > 1)
        return 6;
    plugin_image_target target;
    if (dims[1] < 4 && dims[2] > 4) {
        puts("Tranposing image to NCHW tensor");
        target.layout = PLUGIN_LAYOUT_NCHW;
        target.channels = extent(dims[1]);
        target.height = extent(dims[2]);
        target.width = extent(dims[3]);
    } else {
        target.layout = PLUGIN_LAYOUT_NHWC;
        target.height = extent(dims[1]);
        target.width = extent(dims[2]);
        target.channels = extent(dims[3]);
    }
    target.element = element_of(server->input_type);
    target.data = server->input_buffer;
    target.capacity = server->input_size;
    return plugin_image_load(&target, data, length, flags);
}
