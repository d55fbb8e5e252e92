/* Stand-in for the OpenCL compute engine, which this machine does not have:
 * a name, a version and a fini slot, no operation slots (so every operation
 * falls back to the CPU). Built with STUB_FAILS its entry point fails. */
#include "kestrune/nn_engine_plugin.h"

static void stub_fini(nn_engine* engine) { (void)engine; }

int nn_engine_plugin_init(nn_engine* engine)
{
    engine->name = "opencl-stub";
    engine->version = "0.1";
    engine->fini = stub_fini;
#ifdef STUB_FAILS
    return NN_ERROR_OUT_OF_RESOURCES;
#else
    return NN_SUCCESS;
#endif
}
