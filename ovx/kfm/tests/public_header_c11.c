/* The library's public header is C: it compiles as C11 on its own. */
#include "ovx/ovx_kfm.h"

void free_arrays_of(ovxlib_graph* graph) { ovx_kfm_free_node_arrays(graph); }
