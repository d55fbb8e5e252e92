/* The engine-first step of the operator frame. */
#include "platform.h"
#include "ops/frame.h"

int engine_unary(nn_tensor* out, nn_tensor* in, int kind, int* status)
{
    nn_engine* e = nn_shared_engine2(out, in);
    if (!e || !e->unary)
        return 0;
    int s = e->unary(out, in, kind);
    if (s == NN_ERROR_NOT_IMPLEMENTED)
        return 0;
    *status = s;
    return 1;
}

int engine_binary(nn_tensor* out, nn_tensor* a, nn_tensor* b, int op, int* status)
{
    nn_engine* e = nn_shared_engine3(out, a, b);
    if (!e || !e->binary)
        return 0;
    int s = e->binary(out, a, b, op);
    if (s == NN_ERROR_NOT_IMPLEMENTED)
        return 0;
    *status = s;
    return 1;
}

namespace {

/* A pooling slot of the engine output and input share: its result is
 * returned unchanged, 5 included. */
template <typename Slot>
int engine_pool(Slot nn_engine::*slot, nn_tensor* out, nn_tensor* in, const int32_t* ksize,
                const int32_t* strides, const int32_t* padding, int* status)
{
    nn_engine* e = nn_shared_engine2(out, in);
    if (!e || !(e->*slot))
        return 0;
    *status = (e->*slot)(out, in, ksize, strides, padding);
    return 1;
}

} // namespace

int engine_maxpool(nn_tensor* out, nn_tensor* in, const int32_t* ksize, const int32_t* strides,
                   const int32_t* padding, int* status)
{
    return engine_pool(&nn_engine::maxpool, out, in, ksize, strides, padding, status);
}

int engine_avgpool(nn_tensor* out, nn_tensor* in, const int32_t* ksize, const int32_t* strides,
                   const int32_t* padding, int* status)
{
    return engine_pool(&nn_engine::avgpool, out, in, ksize, strides, padding, status);
}

void op_store_time(nn_tensor* t, int64_t start)
{
    int64_t d = clock_now_ns() - start;
    if (t)
        t->time = (uint64_t)(d > 0 ? d : 0);
}
