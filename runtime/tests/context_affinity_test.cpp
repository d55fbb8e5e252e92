// Thread set-up of context creation; its own program, since it pins the
// process (run without OMP_NUM_THREADS in its environment).
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <cstdlib>

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

}  // namespace
