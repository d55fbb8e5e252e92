/* An engine library that lacks nn_engine_plugin_init. */
__attribute__((visibility("default"))) int kestrune_engine_something_else(void) { return 0; }
