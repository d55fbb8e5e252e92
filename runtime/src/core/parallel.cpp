#include "parallel.h"

#include <omp.h>

nn_row_range nn_thread_rows(int64_t n)
{
    return nn_static_split(n, omp_get_thread_num(), omp_get_num_threads());
}

int nn_team_for(int64_t work, int64_t grain)
{
    const int team = omp_get_max_threads();
    if (grain < 1)
        grain = 1;
    const int64_t pays = work / grain;
    if (pays <= 1)
        return 1;
    return pays < team ? (int)pays : team;
}
