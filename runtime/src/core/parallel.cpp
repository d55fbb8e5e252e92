#include "parallel.h"

#include <omp.h>

nn_row_range nn_thread_rows(int64_t n)
{
    return nn_static_split(n, omp_get_thread_num(), omp_get_num_threads());
}
