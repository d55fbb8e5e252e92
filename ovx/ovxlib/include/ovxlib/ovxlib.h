/* ovxlib.h - the project's own ovxlib layer.
 *
 * The OpenVX graph library and the OpenVX plug-in reach an NPU or GPU through
 * the eighteen vsi_nn_* calls below.  On a board they come from the vendor's
 * ovxlib; in this tree they come from libovxlib, a CPU stand-in that records
 * the graph, checks its geometry at set-up and verification, and runs a small
 * reference subset of the operations with plain loops, so that a graph built
 * from a model can be compared with the runtime's own result.  Type and field
 * names are this project's; only the call names and the numeric codes are
 * fixed by the platform.
 *
 * Conventions (fixed; the builder and the stand-in both follow them):
 *  - Sizes are listed innermost first: sizes[0] varies fastest.  An NHWC
 *    image is [C, W, H, N], an NCHW image [W, H, C, N].
 *  - Memory follows the sizes for every non-constant tensor and for every
 *    constant of dimension format 0: element (c0, c1, ...) sits at
 *    c0 + sizes[0] * (c1 + sizes[1] * (c2 + ...)).
 *  - A constant of dimension format 1 holds the model file's bytes of its data
 *    shape d (outermost first) unchanged.  Its sizes list that data shape in
 *    stored order, except that a 4-D shape is listed [d1, d0, d2, d3].  A 4-D
 *    one is read through its data shape: size coordinate (c0, c1, c2, c3) is
 *    data-shape coordinate (c1, c0, c2, c3), so a filter [KH, KW, Cin, Cout]
 *    is the weights [KW, KH, Cin, Cout] below.  Every other rank is read with
 *    memory following its sizes, like a format-0 tensor: a 2-D [a, b] stored
 *    as a rows of b reads transposed until vsi_nn_TransposeTensor rewrites
 *    it (FCL weights need that).
 *  - PERMUTE: output dimension i is input dimension perm[i], so the permuted
 *    sizes are in.sizes[perm[i]] (perm holds dim_count entries, dim_count =
 *    the input's dimension count).  The output tensor may list other sizes,
 *    even another rank, of the same element count: it receives the permuted
 *    elements in their order.
 *  - vsi_nn_TransposeTensor takes only the permutation {1, 0} on a 2-D
 *    constant of dimension format 1, with new sizes equal to its sizes
 *    [a, b]: the data, stored as a rows of b, is rewritten as b rows of a
 *    into a buffer the stand-in owns, and the tensor becomes dimension
 *    format 0 with the same sizes (so its element (i, j) is unchanged).  The
 *    caller's buffer is never written.
 *  - Kernel size, stride and dilation pairs are {W, H}; pads are
 *    {left, right, top, bottom}.
 *  - CONV2D: input [W, H, Cin, N], weights [KW, KH, Cin / group, Cout],
 *    bias [Cout], output [OW, OH, Cout, N].  Depthwise when multiplier > 0:
 *    weights [KW, KH, a, b] with a * b = Cout = Cin * multiplier; output
 *    channel a_i * b + b_i reads input channel (a_i * b + b_i) / multiplier
 *    (so [KW, KH, 1, C] and [KW, KH, C, 1] both mean one filter per channel).
 *    Output size per axis: (in + pads - ((k - 1) * dilation + 1)) / stride + 1,
 *    rounded down, or up when the node's down_scale_size_rounding is
 *    OVXLIB_DOWN_SCALE_CEIL (then a last window that would start past the
 *    input and its head pad is dropped).
 *  - POOL: input [W, H, C, N], same output size rule with dilation 1, rounded
 *    by round_type (floor by default).  Max ignores padded cells; average
 *    OVXLIB_POOL_AVG divides by the window cells inside the padded area,
 *    OVXLIB_POOL_AVG_EXCLUDE_PAD by the cells inside the input.
 *  - FCL and FCL2: weights [K, N] are N rows of K values (one row per output);
 *    the input is M rows of K (volume M * K), the output [N, M...] (volume
 *    N * M, sizes[0] = N), an optional bias [N].  param.fcl.weights = N.
 *  - SLICE start/length and PAD front/back arrays hold one entry per
 *    dimension in size order (dim_count = the input's dimension count).
 *  - CONCAT axis and REDUCE axes are dimension indices in size order.
 *  - SOFTMAX runs over dimension 0 (param.softmax.axis, 0 by default).
 *  - ADD, SUBTRACT, MULTIPLY, DIVIDE broadcast a size-1 dimension; missing
 *    dimensions count as 1; the output has the larger size of each dimension.
 *    MULTIPLY and DIVIDE multiply the result by param.eltwise.scale.
 *  - Quantised values: real = (q - zero_point) * scale; per-channel tensors
 *    take scale and zero point by the coordinate on channel_dim.  Results are
 *    rounded half to even and saturated to the type.
 *
 * Ownership: attributes are copied by vsi_nn_AddTensor.  Constant data,
 * per-channel scale and zero-point arrays and every array a node's parameters
 * point to stay the caller's: they are read at set-up, at verification and at
 * every run, never at release, so they must live until the graph's last run
 * and may be freed before vsi_nn_ReleaseGraph.
 *
 * Results: calls returning int give 0 on success and -1 on failure; calls
 * returning a record give NULL on failure; vsi_nn_AddTensor gives
 * OVXLIB_NO_TENSOR (0xFFFFFFFF, that is -1) on failure.
 */
#ifndef OVXLIB_OVXLIB_H
#define OVXLIB_OVXLIB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(OVXLIB_BUILD)
#define OVXLIB_API __attribute__((visibility("default")))
#else
#define OVXLIB_API
#endif

typedef uint32_t ovxlib_tensor_id;

/* The no-tensor id: every list slot starts with it, and vsi_nn_AddTensor
 * returns it on failure. */
#define OVXLIB_NO_TENSOR ((ovxlib_tensor_id)0xFFFFFFFFu)
/* Passed as the id to vsi_nn_AddTensor (the platform's -2): the next free id. */
#define OVXLIB_AUTO_ID ((ovxlib_tensor_id)0xFFFFFFFEu)

#define OVXLIB_MAX_DIMS 8

/* Operation codes passed to vsi_nn_AddNode. */
enum {
    OVXLIB_OP_ADD = 0,
    OVXLIB_OP_MULTIPLY = 1,
    OVXLIB_OP_CONV2D = 2,
    OVXLIB_OP_FCL = 5,
    OVXLIB_OP_SOFTMAX = 7,
    OVXLIB_OP_POOL = 8,
    OVXLIB_OP_LEAKY_RELU = 9,
    OVXLIB_OP_CONCAT = 11,
    OVXLIB_OP_DECONVOLUTION = 17,
    OVXLIB_OP_RESHAPE = 18,
    OVXLIB_OP_PERMUTE = 19,
    OVXLIB_OP_RELU = 22,
    OVXLIB_OP_FCL2 = 28,
    OVXLIB_OP_SUBTRACT = 34,
    OVXLIB_OP_RELU6 = 35,
    OVXLIB_OP_SIGMOID = 36,
    OVXLIB_OP_TANH = 37,
    OVXLIB_OP_DIVIDE = 41,
    OVXLIB_OP_RESIZE = 44,
    OVXLIB_OP_SLICE = 50,
    OVXLIB_OP_PAD = 54,
    OVXLIB_OP_REDUCE = 59,
    OVXLIB_OP_SWISH = 128
};

/* OpenVX data type codes of a tensor attribute.  Any other code (0 included)
 * is refused by vsi_nn_AddTensor. */
enum {
    OVXLIB_TYPE_INT8 = 2,
    OVXLIB_TYPE_UINT8 = 3,
    OVXLIB_TYPE_INT16 = 4,
    OVXLIB_TYPE_UINT16 = 5,
    OVXLIB_TYPE_INT32 = 6,
    OVXLIB_TYPE_UINT32 = 7,
    OVXLIB_TYPE_INT64 = 8,
    OVXLIB_TYPE_UINT64 = 9,
    OVXLIB_TYPE_FLOAT32 = 10,
    OVXLIB_TYPE_FLOAT64 = 11,
    OVXLIB_TYPE_FLOAT16 = 15
};

/* Quantisation types. */
enum {
    OVXLIB_QUANT_NONE = 0,
    OVXLIB_QUANT_AFFINE = 2,      /* one scale and zero point */
    OVXLIB_QUANT_PER_CHANNEL = 3  /* one scale (and zero point) per channel */
};

/* Dimension formats. */
enum {
    OVXLIB_FMT_NCHW = 0,
    OVXLIB_FMT_NHWC = 1
};

/* vx parameters of a node. */
enum {
    OVXLIB_OVERFLOW_SATURATE = 0xA001,
    OVXLIB_ROUNDING_NEAREST_EVEN = 0x12002,
    OVXLIB_DOWN_SCALE_FLOOR = 0x1A000,
    OVXLIB_DOWN_SCALE_CEIL = 0x1A001
};

/* Pooling types. */
enum {
    OVXLIB_POOL_MAX = 0x1B000,
    OVXLIB_POOL_AVG = 0x1B001,
    OVXLIB_POOL_AVG_EXCLUDE_PAD = 0x71B001
};

/* Pool round types (output size rounding). */
enum {
    OVXLIB_ROUND_CEIL = 0,
    OVXLIB_ROUND_FLOOR = 1
};

/* Pad types of convolution, deconvolution and pooling: only the explicit
 * pads are run; VALID and SAME are recorded. */
enum {
    OVXLIB_PAD_EXPLICIT = 0,
    OVXLIB_PAD_VALID = 1,
    OVXLIB_PAD_SAME = 2
};

/* PAD modes. */
enum {
    OVXLIB_PAD_MODE_CONSTANT = 0
};

/* REDUCE types. */
enum {
    OVXLIB_REDUCE_MEAN = 1
};

typedef struct ovxlib_quant {
    int32_t type;                /* OVXLIB_QUANT_* */
    float scale;                 /* affine */
    int32_t zero_point;          /* affine */
    const float *scales;         /* per-channel, scale_count entries */
    uint32_t scale_count;
    int32_t channel_dim;         /* per-channel: dimension index in size order */
    const int32_t *zero_points;  /* per-channel, zero_point_count entries (0 or scale_count) */
    uint32_t zero_point_count;
} ovxlib_quant;

typedef struct ovxlib_tensor_attr {
    uint32_t sizes[OVXLIB_MAX_DIMS];  /* innermost first */
    uint32_t dim_count;
    uint8_t is_virtual;               /* 1: intermediate, no host copy */
    uint8_t is_const;                 /* 1: constant, data given to vsi_nn_AddTensor */
    int32_t fmt;                      /* OVXLIB_FMT_NCHW or OVXLIB_FMT_NHWC */
    int32_t type;                     /* OVXLIB_TYPE_* */
    ovxlib_quant quant;
} ovxlib_tensor_attr;

/* A tensor of a graph, from vsi_nn_GetTensor.  The attribute may be read;
 * after vsi_nn_AddTensor it is changed only by vsi_nn_TransposeTensor. */
typedef struct ovxlib_tensor {
    ovxlib_tensor_attr attr;
} ovxlib_tensor;

/* Operation parameters.  vsi_nn_AddNode fills the defaults named here; every
 * other field starts 0. */
typedef struct ovxlib_conv_param {  /* CONV2D and DECONVOLUTION */
    uint32_t ksize[2];     /* {W, H} */
    uint32_t stride[2];    /* {W, H}, default {1, 1} */
    uint32_t dilation[2];  /* {W, H}, default {1, 1} */
    uint32_t pad[4];       /* {left, right, top, bottom} */
    int32_t pad_type;      /* OVXLIB_PAD_* */
    uint32_t weights;      /* output channels */
    uint32_t group;        /* default 1 */
    uint32_t multiplier;   /* 0: ordinary or grouped; > 0: depthwise */
} ovxlib_conv_param;

typedef struct ovxlib_pool_param {
    int32_t type;          /* OVXLIB_POOL_*, default OVXLIB_POOL_MAX */
    uint32_t ksize[2];     /* {W, H} */
    uint32_t stride[2];    /* {W, H}, default {1, 1} */
    uint32_t pad[4];       /* {left, right, top, bottom} */
    int32_t pad_type;      /* OVXLIB_PAD_* */
    int32_t round_type;    /* OVXLIB_ROUND_*, default OVXLIB_ROUND_FLOOR */
} ovxlib_pool_param;

typedef struct ovxlib_fcl_param {  /* FCL and FCL2 */
    uint32_t weights;      /* N, the output count */
    int32_t axis;          /* 0 */
} ovxlib_fcl_param;

typedef struct ovxlib_permute_param {
    const uint32_t *perm;  /* dim_count entries */
    uint32_t dim_count;
} ovxlib_permute_param;

typedef struct ovxlib_concat_param {
    uint32_t axis;         /* dimension index in size order */
} ovxlib_concat_param;

typedef struct ovxlib_slice_param {
    int32_t *start;        /* dim_count entries, size order */
    int32_t *length;       /* dim_count entries, size order */
    uint32_t dim_count;
} ovxlib_slice_param;

typedef struct ovxlib_pad_param {
    uint32_t *front_size;  /* dim_count entries, size order */
    uint32_t *back_size;   /* dim_count entries, size order */
    uint32_t dim_count;
    int32_t mode;          /* OVXLIB_PAD_MODE_CONSTANT */
    float const_value;     /* real value of padded cells (quantised: stored as its quantised value) */
} ovxlib_pad_param;

typedef struct ovxlib_resize_param {  /* recorded and verified, not run */
    int32_t type;          /* 0 or 1, default 0 */
    uint32_t size[2];
    uint8_t align_corners;
    uint8_t half_pixel_centers;
} ovxlib_resize_param;

typedef struct ovxlib_eltwise_param {  /* MULTIPLY and DIVIDE */
    float scale;           /* default 1.0 */
} ovxlib_eltwise_param;

typedef struct ovxlib_tanh_param {
    float scale_a;         /* a of a * tanh(b * x), default 1.0 */
    float scale_b;         /* b, default 1.0 */
} ovxlib_tanh_param;

typedef struct ovxlib_leaky_relu_param {
    float ratio;           /* slope below 0 */
} ovxlib_leaky_relu_param;

typedef struct ovxlib_softmax_param {
    float beta;            /* default 1.0 */
    uint32_t axis;         /* default 0 */
} ovxlib_softmax_param;

typedef struct ovxlib_reduce_param {
    int32_t type;          /* OVXLIB_REDUCE_MEAN */
    int32_t *axis;         /* axis_count entries, size order */
    uint32_t axis_count;
    uint8_t keep_dim;      /* 1: reduced dimensions stay as size 1; 0: removed */
} ovxlib_reduce_param;

typedef struct ovxlib_swish_param {  /* op 128: recorded and verified, not run */
    float beta;
    int32_t kind;
} ovxlib_swish_param;

typedef union ovxlib_op_param {
    ovxlib_conv_param conv;      /* CONV2D */
    ovxlib_conv_param deconv;    /* DECONVOLUTION */
    ovxlib_pool_param pool;
    ovxlib_fcl_param fcl;        /* FCL, FCL2 */
    ovxlib_permute_param permute;
    ovxlib_concat_param concat;
    ovxlib_slice_param slice;
    ovxlib_pad_param pad;
    ovxlib_resize_param resize;
    ovxlib_eltwise_param eltwise;  /* MULTIPLY, DIVIDE */
    ovxlib_tanh_param tanh_scale;
    ovxlib_leaky_relu_param leaky_relu;
    ovxlib_softmax_param softmax;
    ovxlib_reduce_param reduce;
    ovxlib_swish_param swish;
} ovxlib_op_param;

/* vx parameters, set by the builder on quantised nodes.  Defaults: 0, with
 * down_scale_size_rounding OVXLIB_DOWN_SCALE_FLOOR. */
typedef struct ovxlib_vx_param {
    int32_t overflow_policy;           /* OVXLIB_OVERFLOW_SATURATE */
    int32_t rounding_policy;           /* OVXLIB_ROUNDING_NEAREST_EVEN */
    int32_t down_scale_size_rounding;  /* OVXLIB_DOWN_SCALE_*: convolution output size */
    uint32_t accumulator_bits;         /* 32 */
    uint32_t accumulator_enable;       /* 1 with accumulator_bits */
} ovxlib_vx_param;

/* A node of a graph, from vsi_nn_AddNode or vsi_nn_GetNode.  The caller
 * fills the input and output ids (all start OVXLIB_NO_TENSOR), param and vx;
 * op and the counts are the stand-in's. */
typedef struct ovxlib_node {
    int32_t op;                /* OVXLIB_OP_* */
    uint32_t input_count;
    uint32_t output_count;
    ovxlib_tensor_id *inputs;  /* input_count slots */
    ovxlib_tensor_id *outputs; /* output_count slots */
    ovxlib_op_param param;
    ovxlib_vx_param vx;
} ovxlib_node;

struct ovxlib_graph_state;

/* A graph, from vsi_nn_CreateGraph.  The caller fills the input and output
 * lists reserved by vsi_nn_SetGraphInputs / vsi_nn_SetGraphOutputs (slots
 * start OVXLIB_NO_TENSOR); the other fields are the stand-in's. */
typedef struct ovxlib_graph {
    ovxlib_tensor_id *input_ids;
    uint32_t input_count;
    ovxlib_tensor_id *output_ids;
    uint32_t output_count;
    uint32_t node_count;
    uint32_t tensor_count;
    struct ovxlib_graph_state *state;
} ovxlib_graph;

typedef struct ovxlib_context ovxlib_context;

OVXLIB_API ovxlib_context *vsi_nn_CreateContext(void);
/* Takes the address of the context, releases it, clears the address; NULL
 * and a NULL context are accepted. */
OVXLIB_API void vsi_nn_ReleaseContext(ovxlib_context **context);
OVXLIB_API const char *vsi_nn_GetVersion(void);

/* Tensor and node counts are hints (0 for none). */
OVXLIB_API ovxlib_graph *vsi_nn_CreateGraph(ovxlib_context *context, uint32_t tensor_count,
                                            uint32_t node_count);
/* Takes the address of the graph, releases it with its tensors, nodes and the
 * stand-in's buffers (never reading caller arrays), clears the address; NULL
 * and a NULL graph are accepted. */
OVXLIB_API void vsi_nn_ReleaseGraph(ovxlib_graph **graph);
/* Reserve count list slots; ids (count entries) or NULL (slots
 * OVXLIB_NO_TENSOR).  A second call replaces the list. */
OVXLIB_API int vsi_nn_SetGraphInputs(ovxlib_graph *graph, const ovxlib_tensor_id *ids,
                                     uint32_t count);
OVXLIB_API int vsi_nn_SetGraphOutputs(ovxlib_graph *graph, const ovxlib_tensor_id *ids,
                                      uint32_t count);

/* id must be OVXLIB_AUTO_ID; ids are given from 0 in order.  Refused
 * (OVXLIB_NO_TENSOR): dimension count above 8, a size 0, an unknown type or
 * quantisation type, a constant without data, a tensor both virtual and
 * constant, more than 2^32 - 1 bytes.  Constant data is kept as given; data
 * for a non-constant tensor is copied as its first contents. */
OVXLIB_API ovxlib_tensor_id vsi_nn_AddTensor(ovxlib_graph *graph, ovxlib_tensor_id id,
                                             const ovxlib_tensor_attr *attr, const void *data);
/* An unknown op code, no outputs or more than 64 inputs or outputs: NULL.
 * node_index (may be NULL) receives the node's index. */
OVXLIB_API ovxlib_node *vsi_nn_AddNode(ovxlib_graph *graph, int32_t op, uint32_t input_count,
                                       uint32_t output_count, uint32_t *node_index);
OVXLIB_API ovxlib_tensor *vsi_nn_GetTensor(const ovxlib_graph *graph, ovxlib_tensor_id id);
OVXLIB_API ovxlib_node *vsi_nn_GetNode(const ovxlib_graph *graph, uint32_t index);
/* See the conventions above: only {1, 0} on a 2-D constant of format 1. */
OVXLIB_API int vsi_nn_TransposeTensor(ovxlib_graph *graph, ovxlib_tensor *tensor,
                                      const uint32_t *perm, uint32_t dim_count,
                                      const uint32_t *new_sizes);

/* Both check the whole graph (ids, producers, list slots, per-operation
 * geometry); each refusal is one line on stderr naming the node, its op and
 * the mismatch.  Set-up also gives every non-constant tensor its storage;
 * verification needs a graph that was set up.  A later AddTensor or AddNode
 * undoes both. */
OVXLIB_API int vsi_nn_SetupGraph(ovxlib_graph *graph, uint32_t flags);
OVXLIB_API int vsi_nn_VerifyGraph(ovxlib_graph *graph);
/* Checks the graph again, then runs every node once in creation order
 * (needs a verified graph).  An operation or type without a CPU
 * implementation prints so on stderr and gives -1. */
OVXLIB_API int vsi_nn_RunGraph(ovxlib_graph *graph);

/* Copies the tensor's whole size in; a virtual or constant tensor: -1. */
OVXLIB_API int vsi_nn_CopyDataToTensor(ovxlib_graph *graph, ovxlib_tensor *tensor,
                                       const void *data);
/* A malloc'd copy of the tensor's bytes (a constant: the bytes as held), or
 * NULL for a virtual tensor or a graph not set up; release with vsi_nn_Free. */
OVXLIB_API uint8_t *vsi_nn_ConvertTensorToData(ovxlib_graph *graph, ovxlib_tensor *tensor);
OVXLIB_API void vsi_nn_Free(void *data);

#ifdef __cplusplus
}
#endif

#endif
