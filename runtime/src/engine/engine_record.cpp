#include <string.h>

#include "kestrune/nn_engine_plugin.h"

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
