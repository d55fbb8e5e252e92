/* An engine library whose entry point fills its name and fini slot and then
 * fails with NN_ERROR_OUT_OF_RESOURCES.  fini counts its calls in the first
 * byte of the record's plug-in area, which outlives the library. */
#include "kestrune/nn_engine_plugin.h"

static void count_fini(nn_engine* engine) { ++engine->plugin_private[0]; }

int nn_engine_plugin_init(nn_engine* engine)
{
    engine->name = "failing";
    engine->version = "0.0";
    engine->fini = count_fini;
    return NN_ERROR_OUT_OF_RESOURCES;
}
