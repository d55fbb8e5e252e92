#include <string.h>

#include <cstddef>

#include "kestrune/nn_engine_plugin.h"

/* Plug-ins fill slots by position and nn_engine_init / nn_engine_unload clear
 * the first NN_ENGINE_SLOT_COUNT pointers: every slot must sit at its index. */
namespace {
constexpr std::size_t slot(int index) { return static_cast<std::size_t>(index) * sizeof(void*); }
} // namespace
static_assert(offsetof(nn_engine, name) == slot(0), "name is slot 0");
static_assert(offsetof(nn_engine, version) == slot(1), "version is slot 1");
static_assert(offsetof(nn_engine, handle) == slot(2), "handle is slot 2");
static_assert(offsetof(nn_engine, reserved3) == slot(3), "reserved3 is slot 3");
static_assert(offsetof(nn_engine, init) == slot(4), "init is slot 4");
static_assert(offsetof(nn_engine, fini) == slot(5), "fini is slot 5");
static_assert(offsetof(nn_engine, tensor_init) == slot(6), "tensor_init is slot 6");
static_assert(offsetof(nn_engine, tensor_release) == slot(7), "tensor_release is slot 7");
static_assert(offsetof(nn_engine, sync) == slot(8), "sync is slot 8");
static_assert(offsetof(nn_engine, assign) == slot(9), "assign is slot 9");
static_assert(offsetof(nn_engine, alloc) == slot(10), "alloc is slot 10");
static_assert(offsetof(nn_engine, view) == slot(11), "view is slot 11");
static_assert(offsetof(nn_engine, mapro) == slot(12), "mapro is slot 12");
static_assert(offsetof(nn_engine, maprw) == slot(13), "maprw is slot 13");
static_assert(offsetof(nn_engine, mapwo) == slot(14), "mapwo is slot 14");
static_assert(offsetof(nn_engine, unmap) == slot(15), "unmap is slot 15");
static_assert(offsetof(nn_engine, compare) == slot(16), "compare is slot 16");
static_assert(offsetof(nn_engine, fill) == slot(17), "fill is slot 17");
static_assert(offsetof(nn_engine, reserved18) == slot(18), "reserved18 is slot 18");
static_assert(offsetof(nn_engine, copy) == slot(19), "copy is slot 19");
static_assert(offsetof(nn_engine, pad) == slot(20), "pad is slot 20");
static_assert(offsetof(nn_engine, concat) == slot(21), "concat is slot 21");
static_assert(offsetof(nn_engine, slice) == slot(22), "slice is slot 22");
static_assert(offsetof(nn_engine, shuffle) == slot(23), "shuffle is slot 23");
static_assert(offsetof(nn_engine, avgpool) == slot(24), "avgpool is slot 24");
static_assert(offsetof(nn_engine, maxpool) == slot(25), "maxpool is slot 25");
static_assert(offsetof(nn_engine, conv) == slot(26), "conv is slot 26");
static_assert(offsetof(nn_engine, matmul) == slot(27), "matmul is slot 27");
static_assert(offsetof(nn_engine, dense) == slot(28), "dense is slot 28");
static_assert(offsetof(nn_engine, linear) == slot(29), "linear is slot 29");
static_assert(offsetof(nn_engine, binary) == slot(30), "binary is slot 30");
static_assert(offsetof(nn_engine, unary) == slot(31), "unary is slot 31");
static_assert(offsetof(nn_engine, plugin_private) == slot(NN_ENGINE_SLOT_COUNT),
              "the plug-in's part follows the slots");

NN_API size_t nn_engine_sizeof(void) { return NN_ENGINE_RECORD_SIZE; }

NN_API nn_engine* nn_engine_init(void* memory)
{
    if (!memory)
        return NULL;
    /* Only the slots: the rest of the record belongs to the plug-in. */
    memset(memory, 0, NN_ENGINE_SLOT_COUNT * sizeof(void*));
    return (nn_engine*)memory;
}

NN_API const char* nn_engine_name(const nn_engine* engine) { return engine ? engine->name : NULL; }

NN_API const char* nn_engine_version(const nn_engine* engine)
{
    return engine ? engine->version : NULL;
}
