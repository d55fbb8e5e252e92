/* The runtime's one static work split for OpenMP workers.
 *
 * n rows over T threads: q = n / T, r = n mod T; thread t < r takes q + 1 rows
 * starting at t * (q + 1), every other thread q rows starting at r + t * q.
 * Regions are opened only from the calling thread, and only where their
 * work pays for a team: `num_threads(nn_team_for(work, grain))` runs small
 * operators on the calling thread alone, so they never wait for a team.  Workers only read their argument record. */
#ifndef KESTRUNE_CORE_PARALLEL_H
#define KESTRUNE_CORE_PARALLEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct nn_row_range {
    int64_t begin;
    int64_t count; /* 0: the thread has no share and returns at once */
} nn_row_range;

static inline nn_row_range nn_static_split(int64_t n, int thread, int threads)
{
    nn_row_range r = {0, 0};
    if (n <= 0 || threads <= 0 || thread < 0 || thread >= threads)
        return r;
    int64_t q = n / threads;
    int64_t rem = n % threads;
    if (thread < rem) {
        r.begin = (int64_t)thread * (q + 1);
        r.count = q + 1;
    } else {
        r.begin = rem + (int64_t)thread * q;
        r.count = q;
    }
    return r;
}

/* Work grains of the kernel families, in multiply-accumulates (GEMM and
 * convolution, depthwise convolution) or bytes written (pooling, resize,
 * element-wise, quantisation): the work one thread does in the time a
 * whole-team region costs its caller, as runtime/bench/grain_bench measures
 * them (on the x86-64 development machine: 1.6-1.7 us for a team of 8 that
 * is awake, 67-71 G multiply-accumulates/s in the GEMM, 13-15 G in the
 * depthwise kernel, 8-11 GB/s written by the element-wise add: grains of
 * 106-122 K, 21-26 K and 13-16 K), to the nearest power of two.  A region
 * takes the team from two grains on (nn_team_for). */
#define NN_GRAIN_GEMM_MACS 131072
#define NN_GRAIN_DEPTHWISE_MACS 32768
#define NN_GRAIN_BYTES 16384

/* Threads for a region of `work` units: omp_get_max_threads() (the team
 * that nn_context_init_ex or the user's OMP_NUM_THREADS set) when the work
 * is at least two grains, else 1 (the region runs on the calling thread).
 * Never a team between the two: it would end the pinned pool threads it
 * leaves out.  Threads past the work's rows get an empty share. */
int nn_team_for(int64_t work, int64_t grain);

/* The calling OpenMP thread's share of n rows inside a parallel region. */
nn_row_range nn_thread_rows(int64_t n);

#ifdef __cplusplus
}
#endif

#endif
