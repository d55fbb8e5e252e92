/* libovx-kfm: a KFM model as an ovxlib graph, and the tensor helpers that the
 * OpenVX plug-in uses on the graph's tensors.
 *
 * model2graph builds the graph; the caller sets it up, verifies and runs it
 * through ovxlib.  Before vsi_nn_ReleaseGraph the caller frees the per-node
 * arrays the builder allocated with ovx_kfm_free_node_arrays (model2graph does
 * so itself when it fails).  The model bytes must outlive the graph: constant
 * data and per-channel quantisation arrays point into them. */
#ifndef OVX_KFM_H
#define OVX_KFM_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "ovxlib/ovxlib.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(OVX_KFM_BUILDING)
#define OVX_KFM_API __attribute__((visibility("default")))
#else
#define OVX_KFM_API
#endif

/* The graph of a KFM model, or NULL (messages on stderr).  tensor_ids holds one
 * entry per layer (nn_model_layer_count): the id of the tensor carrying that
 * layer's result, OVXLIB_NO_TENSOR for a layer that has none.  Not reentrant:
 * one graph is built at a time in a process. */
OVX_KFM_API ovxlib_graph* model2graph(const void* model, ovxlib_context* context,
                                      uint32_t* tensor_ids);

/* Element count (1 for dimension count 0) and byte size, 32-bit; 0 for NULL. */
OVX_KFM_API uint32_t vsi_nn_tensor_volume(const ovxlib_tensor* tensor);
OVX_KFM_API uint32_t vsi_nn_tensor_bytes(const ovxlib_tensor* tensor);

/* Index (and score when score_size >= 4) of the first largest element of a
 * FLOAT32, UINT8 or INT8 tensor; 0 or -1. */
OVX_KFM_API int vsi_nn_argmax(ovxlib_graph* graph, ovxlib_tensor* tensor, int32_t* index,
                              float* score, size_t score_size);

/* Decodes an encoded picture into an input tensor (nn_image_proc flags for a
 * FLOAT32 tensor, 0 for UINT8 and INT8); 0 or -1 with the tensor unchanged. */
OVX_KFM_API int vsi_nn_tensor_load_image(ovxlib_graph* graph, ovxlib_tensor* tensor,
                                         const uint8_t* data, size_t length, int flags);

/* Frees the arrays model2graph allocated for PAD (front and back sizes),
 * SLICE (start and length) and REDUCE (axes) nodes; call once, before
 * vsi_nn_ReleaseGraph.  NULL is accepted. */
static inline void ovx_kfm_free_node_arrays(ovxlib_graph* graph)
{
    if (!graph)
        return;
    for (uint32_t i = 0; i < graph->node_count; ++i) {
        ovxlib_node* node = vsi_nn_GetNode(graph, i);
        if (!node)
            continue;
        switch (node->op) {
        case OVXLIB_OP_PAD:
            free(node->param.pad.front_size);
            free(node->param.pad.back_size);
            node->param.pad.front_size = NULL;
            node->param.pad.back_size = NULL;
            break;
        case OVXLIB_OP_SLICE:
            free(node->param.slice.start);
            free(node->param.slice.length);
            node->param.slice.start = NULL;
            node->param.slice.length = NULL;
            break;
        case OVXLIB_OP_REDUCE:
            free(node->param.reduce.axis);
            node->param.reduce.axis = NULL;
            break;
        default:
            break;
        }
    }
}

#ifdef __cplusplus
}
#endif

#endif
