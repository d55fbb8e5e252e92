/* ovxlib_test.h - test controls of the ovxlib stand-in (libovxlib).
 *
 * Only for the test programs of this tree; never installed.  The controls
 * are process-wide and not thread-safe, like the stand-in itself.
 */
#ifndef OVXLIB_OVXLIB_TEST_H
#define OVXLIB_OVXLIB_TEST_H

#include <stdint.h>

#include "ovxlib/ovxlib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The calls whose failure a test can ask for. */
typedef enum ovxlib_test_call {
    OVXLIB_CALL_CREATE_CONTEXT,
    OVXLIB_CALL_CREATE_GRAPH,
    OVXLIB_CALL_SET_GRAPH_INPUTS,
    OVXLIB_CALL_SET_GRAPH_OUTPUTS,
    OVXLIB_CALL_ADD_TENSOR,
    OVXLIB_CALL_ADD_NODE,
    OVXLIB_CALL_TRANSPOSE_TENSOR,
    OVXLIB_CALL_SETUP_GRAPH,
    OVXLIB_CALL_VERIFY_GRAPH,
    OVXLIB_CALL_RUN_GRAPH,
    OVXLIB_CALL_COPY_DATA_TO_TENSOR,
    OVXLIB_CALL_CONVERT_TENSOR_TO_DATA,
    OVXLIB_CALL_KINDS
} ovxlib_test_call;

/* The n-th call of that kind from now fails (1: the next one), silently, as
 * the call fails on its own (NULL, -1 or OVXLIB_NO_TENSOR); later calls work
 * again.  n = 0 disarms. */
OVXLIB_API void ovxlib_test_fail_call(ovxlib_test_call call, uint32_t n);
/* Disarms every failure, zeroes the run count and the run delay. */
OVXLIB_API void ovxlib_test_reset(void);
/* Calls of vsi_nn_RunGraph since the last reset (failed ones included). */
OVXLIB_API uint64_t ovxlib_test_run_count(void);
/* Every vsi_nn_RunGraph sleeps this long before it runs. */
OVXLIB_API void ovxlib_test_set_run_delay_us(uint32_t microseconds);
/* Graphs and contexts created and not yet released. */
OVXLIB_API uint32_t ovxlib_test_live_graphs(void);
OVXLIB_API uint32_t ovxlib_test_live_contexts(void);

#ifdef __cplusplus
}
#endif

#endif
