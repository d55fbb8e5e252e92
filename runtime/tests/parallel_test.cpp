#include <gtest/gtest.h>

#include <omp.h>

#include <vector>

#include "core/parallel.h"

namespace {

// Every row is covered exactly once, in thread order, by contiguous shares.
TEST(StaticSplit, CoversEveryRowOnceInOrder)
{
    const int64_t rows[] = {0, 1, 2, 3, 7, 8, 9, 100, 101};
    const int teams[] = {1, 2, 3, 4, 8};
    for (int64_t n : rows) {
        for (int T : teams) {
            int64_t next = 0;
            for (int t = 0; t < T; ++t) {
                nn_row_range r = nn_static_split(n, t, T);
                if (r.count == 0)
                    continue;
                EXPECT_EQ(r.begin, next) << n << "/" << T << " thread " << t;
                next += r.count;
            }
            EXPECT_EQ(next, n) << n << "/" << T;
        }
    }
}

TEST(StaticSplit, FirstRemainderThreadsTakeOneMore)
{
    // 10 rows over 4 threads: 3, 3, 2, 2 starting at 0, 3, 6, 8.
    const int64_t begins[] = {0, 3, 6, 8};
    const int64_t counts[] = {3, 3, 2, 2};
    for (int t = 0; t < 4; ++t) {
        nn_row_range r = nn_static_split(10, t, 4);
        EXPECT_EQ(r.begin, begins[t]);
        EXPECT_EQ(r.count, counts[t]);
    }
}

TEST(StaticSplit, InsideARegion)
{
    std::vector<int> hits(37, 0);
#pragma omp parallel
    {
        nn_row_range r = nn_thread_rows(37);
        for (int64_t i = r.begin; i < r.begin + r.count; ++i)
            hits[i] += 1;
    }
    for (int h : hits)
        EXPECT_EQ(h, 1);
}

}  // namespace
