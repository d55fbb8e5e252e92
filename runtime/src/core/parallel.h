/* The runtime's one static work split for OpenMP workers.
 *
 * n rows over T threads: q = n / T, r = n mod T; thread t < r takes q + 1 rows
 * starting at t * (q + 1), every other thread q rows starting at r + t * q.
 * Regions are opened with the default team (plain `#pragma omp parallel`) and
 * only from the calling thread; workers only read their argument record. */
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

/* The calling OpenMP thread's share of n rows inside a parallel region. */
nn_row_range nn_thread_rows(int64_t n);

#ifdef __cplusplus
}
#endif

#endif
