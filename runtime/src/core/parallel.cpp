#include "parallel.h"

#include <omp.h>

nn_row_range nn_thread_rows(int64_t n)
{
    return nn_static_split(n, omp_get_thread_num(), omp_get_num_threads());
}

int nn_team_for(int64_t work, int64_t grain)
{
    if (grain < 1)
        grain = 1;
    /* The whole team or the calling thread alone, nothing between: libgomp
     * ends the pool threads a smaller team leaves out, and the next whole
     * team creates them again (a thread start each) with the calling
     * thread's affinity, which nn_context_init_ex pinned to CPU 0. */
    return work / grain <= 1 ? 1 : omp_get_max_threads();
}
