/* Encoded pictures into an input tensor of the interpreter, through the
 * framework's picture decoder. */
#include "tf_server.h"

#include <limits.h>

#include "plugin_image.h"

namespace tfplugin {

int tf_tensor_load_image_ex(int tensor, nn_server* server, const void* data, size_t length, uint32_t flags) noexcept
{
    if (!server || !data || length > INT_MAX)
        return 6;
    Interpreter* interpreter = server->interpreter;
    if (!interpreter || tensor < 0 || static_cast<size_t>(tensor) >= interpreter->tensor_count())
        return 14;
    const size_t t = static_cast<size_t>(tensor);
    /* NHWC: a picture goes only into a rank-4 input of 1 to 4 channels. */
    const IntList dims = interpreter->tensor_dims(t);
    if (dims.count != 4 || dims[3] < 1 || dims[3] > 4)
        return 6;
    plugin_image_target target;
    target.height = dims[1];
    target.width = dims[2];
    target.channels = dims[3];
    switch (interpreter->tensor_type(t)) {
    case kTypeUInt8: target.element = PLUGIN_ELEMENT_UINT8; break;
    case kTypeInt8: target.element = PLUGIN_ELEMENT_INT8; break;
    case kTypeFloat32: target.element = PLUGIN_ELEMENT_FLOAT32; break;
    default: target.element = PLUGIN_ELEMENT_OTHER; break;
    }
    target.layout = PLUGIN_LAYOUT_NHWC;
    target.data = interpreter->tensor_data(t);
    target.capacity = interpreter->tensor_bytes(t);
    return plugin_image_load(&target, data, length, flags);
}

} // namespace tfplugin
