// Thread set-up of context creation; its own program, since it pins the
// process (run without OMP_NUM_THREADS in its environment).
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <omp.h>

#include <cstdlib>
#include <vector>

#include "core/parallel.h"
#include "kestrune/nn.h"
#include "kfm_test_util.h"

namespace {

cpu_set_t process_mask()
{
    cpu_set_t s;
    CPU_ZERO(&s);
    sched_getaffinity(0, sizeof s, &s);
    return s;
}

cpu_set_t thread_mask()
{
    cpu_set_t s;
    CPU_ZERO(&s);
    pthread_getaffinity_np(pthread_self(), sizeof s, &s);
    return s;
}

// One test, in this order: with OMP_NUM_THREADS set nothing changes; without
// it the calling thread ends on CPU 0.
TEST(ContextAffinity, PinsOnlyWithoutOmpNumThreads)
{
    cpu_set_t before = process_mask();
    ASSERT_EQ(setenv("OMP_NUM_THREADS", "", 1), 0);  // set, even empty
    auto s = kfm_test::capture([] { nn_context_release(nn_context_init(nullptr, 0, nullptr, 0, nullptr)); });
    EXPECT_EQ(s.err, "");
    cpu_set_t after = process_mask();
    EXPECT_TRUE(CPU_EQUAL(&before, &after));
    cpu_set_t thread = thread_mask();
    EXPECT_TRUE(CPU_EQUAL(&before, &thread));

    ASSERT_EQ(unsetenv("OMP_NUM_THREADS"), 0);
    bool cpu0_allowed = CPU_ISSET(0, &before);
    s = kfm_test::capture([] { nn_context_release(nn_context_init(nullptr, 0, nullptr, 0, nullptr)); });
    if (!cpu0_allowed)
        GTEST_SKIP() << "CPU 0 is not in this process's mask";
    EXPECT_EQ(s.err, "");
    cpu_set_t pinned = thread_mask();
    EXPECT_EQ(CPU_COUNT(&pinned), 1);
    EXPECT_TRUE(CPU_ISSET(0, &pinned));
}

// A second context and operators of every size between one grain and many
// leave the pinned team as it was: each thread of a whole-team region still on the CPU of its
// number (a region of 2 to team-1 threads ends the pool threads it leaves
// out, and their replacements start on the calling thread's CPU 0).
TEST(ContextAffinity, PinnedTeamOutlivesOperatorsOfEverySize)
{
    ASSERT_EQ(unsetenv("OMP_NUM_THREADS"), 0);
    const int procs = (int)sysconf(_SC_NPROCESSORS_ONLN);
    cpu_set_t all;
    CPU_ZERO(&all);
    for (int i = 0; i < procs && i < CPU_SETSIZE; ++i)
        CPU_SET(i, &all);
    // The test above left this thread on CPU 0.
    if (procs < 3 || sched_setaffinity(0, sizeof all, &all) != 0)
        GTEST_SKIP() << "needs three CPUs numbered from 0";
    // A second context sets the team up again from this thread, which the
    // first one pinned to CPU 0: still a team of every CPU.
    nn_context_release(nn_context_init(nullptr, 0, nullptr, 0, nullptr));
    nn_context* ctx = nn_context_init(nullptr, 0, nullptr, 0, nullptr);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(omp_get_max_threads(), procs);
    // Every region of the runtime takes its thread count from nn_team_for.
    // (A region with an empty body is left out by the compiler.)
    std::vector<int> seen(procs, 0);
    for (int64_t grains = 0; grains <= 2 * procs + 1; ++grains) {
#pragma omp parallel num_threads(nn_team_for(grains * NN_GRAIN_BYTES, NN_GRAIN_BYTES))
        {
            const int id = omp_get_thread_num();
            if (id < procs)
                seen[id] += 1;
        }
    }
    EXPECT_EQ(seen[0], 2 * procs + 2);
    std::vector<int> alone(procs, 0);
#pragma omp parallel
    {
        cpu_set_t m = thread_mask();
        const int id = omp_get_thread_num();
        if (id < procs)
            alone[id] = CPU_COUNT(&m) == 1 && CPU_ISSET(id, &m);
    }
    for (int id = 0; id < procs; ++id)
        EXPECT_TRUE(alone[id]) << "thread " << id << " is not alone on CPU " << id;
    nn_context_release(ctx);
}

}  // namespace
