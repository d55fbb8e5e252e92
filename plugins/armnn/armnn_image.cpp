/* Pictures into the Arm NN plug-in's input buffer, on the framework's
 * decode, resize and normalise core. */
#include "armnn_server.h"

#include <climits>
#include <cstdio>

#include "plugin_image.h"

namespace armnnplugin {
namespace {

plugin_element element_of(armnn::DataType type) noexcept
{
    if (type == armnn::DataType::Float32)
        return PLUGIN_ELEMENT_FLOAT32;
    if (type == armnn::DataType::QAsymmU8)
        return PLUGIN_ELEMENT_UINT8;
    if (is_signed_byte(type))
        return PLUGIN_ELEMENT_INT8;
    return PLUGIN_ELEMENT_OTHER;
}

/* An extent as the image core takes it; 0 (refused there) when it does
 * not fit an int. */
int extent(unsigned int d) noexcept
{
    return d <= static_cast<unsigned int>(INT_MAX) ? static_cast<int>(d) : 0;
}

int load_image(const char* name, nn_server* server, const void* data, size_t length, uint32_t flags)
{
    if (!name || !server->parser)
        return 6;
    const armnn::TensorInfo info = server->parser->GetNetworkInputBindingInfo(0, name).second;
    const armnn::TensorShape& shape = info.GetShape();
    /* NHWC pictures only: shape[1..3] of any other rank is not there. */
    if (shape.GetNumDimensions() != 4)
        return 6;
    plugin_image_target target{};
    target.height = extent(shape[1]);
    target.width = extent(shape[2]);
    target.channels = extent(shape[3]);
    target.element = element_of(info.GetDataType());
    target.layout = PLUGIN_LAYOUT_NHWC;
    /* The input buffer is the first input's, sized at load. */
    const bool first_input = name == server->input_tensor_name;
    target.data = first_input && !server->input_buffer.empty() ? server->input_buffer.data() : nullptr;
    target.capacity = target.data ? server->input_buffer.size() : 0;
    return plugin_image_load(&target, data, length, flags);
}

} // namespace
} // namespace armnnplugin

extern "C" int armnn_tensor_load_image_ex(const char* name, nn_server* server, const void* data, size_t length,
                                          uint32_t flags)
{
    if (!data || !server || length > INT_MAX)
        return 6;
    try {
        return armnnplugin::load_image(name, server, data, length, flags);
    } catch (const std::exception& e) {
        /* An input of another name, say. */
        armnnplugin::report_exception(e.what());
    } catch (...) {
        armnnplugin::report_exception("unknown exception");
    }
    return 6;
}
