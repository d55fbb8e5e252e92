/* The operator frame every CPU operator follows: offer the call to the output's
 * engine, start the clock, map, work (on the calling thread or in one plain
 * OpenMP region split by nn_thread_rows), requantise, store the time in the
 * output, unmap every mapping taken. */
#ifndef KESTRUNE_OPS_FRAME_H
#define KESTRUNE_OPS_FRAME_H

#include <stdint.h>

#include "core/engine_rule.h"
#include "core/parallel.h"
#include "kestrune/nn.h"

#ifdef __cplusplus
/* C++ linkage even where a test includes this header inside extern "C". */
extern "C++" {
#include "core/scoped.h"
}
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Applies an activation code to count floats (in place when out == in):
 * 1 RELU, 2 RELU6, 3 SIGMOID, 4 SIGMOID_FAST, 5 TANH; any other code writes
 * nothing. */
void apply_activation(float* out, uint32_t count, const float* in, int activation);

/* Stores the zero-terminated packed-panel widths of the float GEMM, {16, 8, 4,
 * 0}, when the place is not NULL; returns 4 in every case. */
int gemm_panel_widths(const int** widths);

/* Name of the FLOAT32 work tensor of an INT8/UINT8 tensor in the tensor's
 * named list. */
#define FLOAT_WORK_NAME "aux_f32_work"

/* The FLOAT32 work tensor of an INT8/UINT8 tensor t, created when absent, of
 * another volume, or left without data by an earlier failed allocation.  It
 * is kept under FLOAT_WORK_NAME in t's named list when `keyed` is set or t
 * already holds a list (a tensor in several roles: the objects other roles
 * attach by name never free it), else as t's single auxiliary object (free
 * function release_aux_tensor).  A record that cannot be made prints
 * "<label> unable to create auxiliary f32 tensor for <role>: out of memory"
 * and gives 3; a failed data allocation gives its own code with alloc_code
 * non-zero, else the tensor is attached without data (its mapping then
 * fails).  NULL with *status on failure. */
nn_tensor* float_work_tensor(nn_tensor* t, const char* label, const char* role, int alloc_code,
                             int keyed, int* status);

/* Attaches `object` to t under a heap copy of `name` (free_fn called on it
 * with the tensor when `owned`).  A FLOAT32 work tensor held as t's single
 * object first moves into the list under FLOAT_WORK_NAME, so that the work
 * tensor another role of t still uses is not freed.  0, or 3 when a name or
 * node cannot be made; the object is then not attached (and not freed). */
int aux_attach_named(nn_tensor* t, const char* name, void* object, void (*free_fn)(void*),
                     int owned);

/* 1 when the type is one FrameMaps serves (FLOAT32, INT8, UINT8). */
int map_tensors_type_ok(const nn_tensor* t);

/* Engine-first steps.  Each returns 1 and stores the status when the call was
 * handled by the engine, 0 when the CPU path is to run. */
/* Unary slot (output and input share the engine): 5 falls through. */
int engine_unary(nn_tensor* out, nn_tensor* in, int kind, int* status);
/* Binary slot (output, A and B share the engine): 5 falls through. */
int engine_binary(nn_tensor* out, nn_tensor* a, nn_tensor* b, int op, int* status);
/* Pooling slots: the result is returned unchanged, 5 included. */
int engine_maxpool(nn_tensor* out, nn_tensor* in, const int32_t* ksize, const int32_t* strides,
                   const int32_t* padding, int* status);
int engine_avgpool(nn_tensor* out, nn_tensor* in, const int32_t* ksize, const int32_t* strides,
                   const int32_t* padding, int* status);

/* Stores the nanoseconds since start in the tensor's time field. */
void op_store_time(nn_tensor* t, int64_t start);

#ifdef __cplusplus
}

extern "C++" {
namespace kestrune {

/* The frame's FLOAT32 views of an output and up to two inputs, given back
 * when the owner ends: INT8 and UINT8 operands are served by their auxiliary
 * FLOAT32 tensor (inputs dequantised into it on every call; one tensor given
 * as both inputs once, into one view), FLOAT32 operands are mapped
 * themselves.  status() is 0 when every view is mapped; on failure
 * whatever was mapped is given back at once. */
class FrameMaps {
public:
    explicit FrameMaps(nn_tensor* out, nn_tensor* a = nullptr, nn_tensor* b = nullptr) noexcept;
    FrameMaps(const FrameMaps&) = delete;
    FrameMaps& operator=(const FrameMaps&) = delete;

    int status() const noexcept { return status_; }
    float* out() const noexcept { return out_rw_ ? out_rw_.as<float>() : out_wo_.as<float>(); }
    const float* a() const noexcept { return a_.as<float>(); }
    const float* b() const noexcept { return b_.as<float>(); }

private:
    int map(nn_tensor* out, nn_tensor* a, nn_tensor* b) noexcept;

    /* Declared in mapping order: given back in reverse. */
    WriteMap out_wo_;    /* an output that is no input */
    ReadWriteMap out_rw_; /* an output that is also an input */
    ReadMap a_, b_;
    int status_;
};

/* The FLOAT32 values of an INT8 or UINT8 output's work tensor quantised into
 * the output; 0 without work for a FLOAT32 output. */
int quantise_back(nn_tensor* out, const float* values) noexcept;

/* The frame's work step on FLOAT32 views: fn(out, a, b) on the views of out
 * and the given inputs, the result requantised into out, the time since
 * start stored in it; the views given back on return. */
template <typename Fn>
int run_on_views(nn_tensor* out, nn_tensor* a, nn_tensor* b, int64_t start, Fn&& fn)
{
    FrameMaps maps(out, a, b);
    if (maps.status())
        return maps.status();
    fn(maps.out(), maps.a(), maps.b());
    const int status = quantise_back(out, maps.out());
    op_store_time(out, start);
    return status;
}

/* An output mapped read-write and then an input read-only, both given back
 * when the owner ends; the input is not mapped when the output cannot be. */
struct OutInMaps {
    OutInMaps(nn_tensor* output, nn_tensor* input) noexcept
        : out(output), in(out ? input : nullptr)
    {
    }
    /* 0, or NN_ERROR_TENSOR_NO_DATA when either could not be mapped. */
    int status() const noexcept { return out && in ? 0 : NN_ERROR_TENSOR_NO_DATA; }

    ReadWriteMap out;
    ReadMap in;
};

} // namespace kestrune
}
#endif

#endif
