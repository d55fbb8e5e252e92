/* Execution context: creation with its memory pool and cache, the OpenMP
 * thread set-up, accessors and release. */
#include <errno.h>
#include <omp.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "context/context_internal.h"
#include "core/scoped.h"
#include "model/model_internal.h"

NN_API size_t nn_context_sizeof(void) { return sizeof(struct nn_context); }

/* Gives the embedded record `record` a UINT8 shape of `size` bytes, on the
 * caller's memory when given, else allocated.  Sizes that do not fit the
 * 32-bit shape entry are refused rather than truncated. */
static nn_tensor* setup_buffer(nn_context* ctx, nn_tensor* record, size_t size, void* memory,
                               const char* what)
{
    kestrune::UniqueTensor t(nn_tensor_init(record, ctx->engine));
    int status;
    if (!t) {
        status = NN_ERROR_OUT_OF_MEMORY;
    } else if (size > static_cast<size_t>(INT32_MAX)) {
        status = NN_ERROR_INVALID_SHAPE;
    } else {
        int32_t shape[1] = {static_cast<int32_t>(size)};
        status = memory ? nn_tensor_assign(t.get(), NN_TYPE_U8, 1, shape, memory)
                        : nn_tensor_alloc(t.get(), NN_TYPE_U8, 1, shape);
    }
    if (status != NN_SUCCESS) {
        fprintf(stderr, "failed to %s memory for %s: %s\r\n", memory ? "assign" : "allocate", what,
                nn_strerror(status));
        return nullptr;
    }
    return t.release();
}

static void pin_thread_worker(void)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    int cpu = omp_get_thread_num();
    if (cpu < CPU_SETSIZE)
        CPU_SET(cpu, &set);
    int err = pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    if (err != 0)
        fprintf(stderr, "failed to set thread affinity: %s\r\n", strerror(err));
}

static void setup_threads(void)
{
    if (getenv("OMP_NUM_THREADS") != NULL)
        return;
    /* The CPUs of the first set-up: omp_get_num_procs() counts the calling
     * thread's CPUs, and a set-up leaves that thread pinned to CPU 0, so a
     * later context would otherwise shrink the team to 1 and the process
     * to CPU 0. */
    static const int n = omp_get_num_procs();
    omp_set_num_threads(n);
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int i = 0; i < n && i < CPU_SETSIZE; ++i)
        CPU_SET(i, &set);
    if (sched_setaffinity(getpid(), sizeof set, &set) != 0)
        fprintf(stderr, "failed to set process affinity: %s\r\n", strerror(errno));
#pragma omp parallel
    pin_thread_worker();
}

NN_API nn_context* nn_context_init_ex(void* memory, nn_engine* engine, size_t mempool_size,
                                      void* mempool_memory, size_t cache_size,
                                      void* cache_memory)
{
    nn_context* ctx;
    if (memory) {
        ctx = static_cast<nn_context*>(memory);
        memset(ctx, 0, sizeof *ctx);
    } else {
        ctx = static_cast<nn_context*>(calloc(1, sizeof *ctx));
        if (!ctx)
            return nullptr;
        ctx->owned = 1;
    }
    /* Until it is handed out, a failure releases what was set up so far
     * (and the record itself when init allocated it). */
    kestrune::UniqueContext owner(ctx);
    ctx->engine = engine;
    if (mempool_size) {
        ctx->mempool = setup_buffer(ctx, &ctx->mempool_record, mempool_size, mempool_memory, "mempool");
        if (!ctx->mempool)
            return nullptr;
    }
    if (cache_size) {
        ctx->cache = setup_buffer(ctx, &ctx->cache_record, cache_size, cache_memory, "cache");
        if (!ctx->cache)
            return nullptr;
    }
    setup_threads();
    return owner.release();
}

NN_API nn_context* nn_context_init(nn_engine* engine, size_t mempool_size, void* mempool_memory,
                                   size_t cache_size, void* cache_memory)
{
    return nn_context_init_ex(NULL, engine, mempool_size, mempool_memory, cache_size, cache_memory);
}

NN_API void nn_context_release(nn_context* ctx)
{
    if (!ctx)
        return;
    nn_context_model_unload(ctx);
    if (ctx->cache) {
        nn_tensor_release(ctx->cache);
        ctx->cache = NULL;
    }
    if (ctx->mempool) {
        nn_tensor_release(ctx->mempool);
        ctx->mempool = NULL;
    }
    free(ctx->tensors);
    ctx->tensors = NULL;
    ctx->tensor_capacity = 0;
    if (ctx->owned)
        free(ctx);
}

NN_API nn_engine* nn_context_engine(nn_context* ctx) { return ctx ? ctx->engine : NULL; }
NN_API const void* nn_context_model(nn_context* ctx) { return ctx ? ctx->model : NULL; }
NN_API nn_tensor* nn_context_mempool(nn_context* ctx) { return ctx ? ctx->mempool : NULL; }
NN_API nn_tensor* nn_context_cache(nn_context* ctx) { return ctx ? ctx->cache : NULL; }

NN_API nn_tensor* nn_context_tensor_index(nn_context* ctx, size_t index)
{
    if (!ctx || !ctx->model || index >= nn_model_layer_count(ctx->model) ||
        index >= ctx->tensor_capacity)
        return NULL;
    return ctx->tensors[index];
}

NN_API nn_tensor* nn_context_tensor(nn_context* ctx, const char* name)
{
    if (!ctx || !ctx->model)
        return NULL;
    uint32_t index = nn_model_layer_lookup(ctx->model, name);
    if (index == 0xFFFFFFFFu)
        return NULL;
    return nn_context_tensor_index(ctx, index);
}

NN_API int nn_context_user_ops_register(nn_context* ctx, nn_user_op_fn fn)
{
    if (!ctx || !fn)
        return NN_ERROR_INVALID_PARAMETER;
    ctx->user_op = fn;
    return NN_SUCCESS;
}

NN_API nn_user_op_fn nn_context_user_ops(nn_context* ctx) { return ctx ? ctx->user_op : NULL; }
