#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <sys/auxv.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform.h"

namespace {

unsigned long hwcap_word(int word) { return getauxval(word == 0 ? AT_HWCAP : AT_HWCAP2); }

uint32_t code(uint32_t cls, uint32_t word, uint32_t low_byte)
{
    return (cls << 24) | (word << 8) | low_byte;
}

TEST(CpuFeatures, EveryBitMatchesTheCapabilityWords)
{
    for (uint32_t word = 0; word < 2; ++word) {
        for (uint32_t bit = 0; bit < 32; ++bit) {
            bool expected = (hwcap_word((int)word) >> bit) & 1u;
            EXPECT_EQ(cpu_has_feature(code(4, word, bit + 1)), expected) << word << ":" << bit;
            EXPECT_EQ(cpu_has_feature(CPU_FEATURE_CODE(word, bit)), expected);
            // the bit number is taken modulo 32
            EXPECT_EQ(cpu_has_feature(code(4, word, bit + 33)), expected);
        }
        // low byte 0 names bit 31
        EXPECT_EQ(cpu_has_feature(code(4, word, 0)), ((hwcap_word((int)word) >> 31) & 1u) != 0);
    }
    // the operator frame's code: class 4, word 0, bit 13
    EXPECT_EQ(cpu_has_feature(0x0400000eu), ((hwcap_word(0) >> 13) & 1u) != 0);
}

TEST(CpuFeatures, OtherClassesAndWordsAreFalse)
{
    const uint32_t codes[] = {code(0, 0, 1), code(3, 0, 1), code(5, 0, 1), code(0x1F, 0, 1),
                              code(4, 2, 1), code(4, 0xFF, 1), 0u};
    for (uint32_t c : codes)
        EXPECT_FALSE(cpu_has_feature(c)) << std::hex << c;
}

TEST(CpuFeatures, ListsNeedEveryCode)
{
    std::vector<uint32_t> held, missing;
    for (uint32_t bit = 0; bit < 32; ++bit)
        ((hwcap_word(0) >> bit) & 1u ? held : missing).push_back(code(4, 0, bit + 1));
    const uint32_t empty[] = {0};
    EXPECT_TRUE(cpu_has_features(empty));
    held.push_back(0);
    EXPECT_TRUE(cpu_has_features(held.data()));
    if (!missing.empty()) {
        std::vector<uint32_t> mixed = held;
        mixed.insert(mixed.begin(), missing[0]);
        EXPECT_FALSE(cpu_has_features(mixed.data()));
    }
    const uint32_t other_class[] = {code(4, 0, 1), code(2, 0, 1), 0};
    EXPECT_FALSE(cpu_has_features(other_class));
}

TEST(CpuCount, MatchesSysconfAndIsCached)
{
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    int first = cpu_count();
    EXPECT_EQ(first, n > 0 ? (int)n : -1);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(cpu_count(), first);
}

int64_t monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// The first reading of a fresh process lies within its first second.
TEST(Clock, FirstValueBelowOneSecond)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int64_t v = clock_now_ns();
        ssize_t w = write(fds[1], &v, sizeof v);
        _exit(w == sizeof v ? 0 : 1);
    }
    close(fds[1]);
    int64_t first = -1;
    ASSERT_EQ(read(fds[0], &first, sizeof first), (ssize_t)sizeof first);
    close(fds[0]);
    int st;
    waitpid(pid, &st, 0);
    EXPECT_GE(first, 0);
    EXPECT_LT(first, 1000000000);
}

TEST(Clock, MonotonicAndMeasuresDurations)
{
    int64_t prev = clock_now_ns();
    for (int i = 0; i < 10000; ++i) {
        int64_t t = clock_now_ns();
        ASSERT_GE(t, prev);
        prev = t;
    }
    int64_t a = clock_now_ns(), ra = monotonic_ns();
    sleep_us(30000);
    int64_t b = clock_now_ns(), rb = monotonic_ns();
    EXPECT_GE(b - a, 30000000);
    EXPECT_NEAR((double)(b - a), (double)(rb - ra), 2e6);
}

volatile sig_atomic_t alarms;
void on_alarm(int) { ++alarms; }

// Interrupted by a signal, the sleep resumes for the time that is left.
TEST(Sleep, ResumesAfterSignal)
{
    struct sigaction sa {}, old{};
    sa.sa_handler = on_alarm; // no SA_RESTART
    sigaction(SIGALRM, &sa, &old);
    alarms = 0;
    itimerval it{{0, 0}, {0, 300000}};
    setitimer(ITIMER_REAL, &it, nullptr);
    int64_t t0 = monotonic_ns();
    sleep_us(1500000);
    int64_t slept = monotonic_ns() - t0;
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(alarms, 1);
    EXPECT_GE(slept, 1500000000);
    EXPECT_LT(slept, 2500000000);
}

TEST(Sleep, ZeroAndNegativeReturnAtOnce)
{
    for (int64_t us : {int64_t(0), int64_t(-1), int64_t(-5000000), INT64_MIN}) {
        int64_t t0 = monotonic_ns();
        sleep_us(us);
        EXPECT_LT(monotonic_ns() - t0, 50000000) << us;
    }
    int64_t t0 = monotonic_ns();
    sleep_us(1000001); // whole seconds and the remainder
    int64_t slept = monotonic_ns() - t0;
    EXPECT_GE(slept, 1000001000);
    EXPECT_LT(slept, 1500000000);
}

TEST(DynamicLoader, OpensLooksUpAndReports)
{
    void* h = dl_open("libm.so.6");
    ASSERT_NE(h, nullptr);
    void* cos_fn = dl_sym(h, "cos");
    ASSERT_NE(cos_fn, nullptr);
    EXPECT_EQ(reinterpret_cast<double (*)(double)>(cos_fn)(0.0), 1.0);
    EXPECT_EQ(dl_sym(h, "no_such_symbol_here"), nullptr);
    EXPECT_NE(dl_error(), nullptr);
    EXPECT_EQ(dl_close(h), 0);
    EXPECT_EQ(dl_open("libno-such-library.so"), nullptr);
    const char* why = dl_error();
    ASSERT_NE(why, nullptr);
    EXPECT_NE(std::string(why).find("libno-such-library.so"), std::string::npos);
}

TEST(Sysinfo, FieldsFromUnameAndHostname)
{
    utsname u;
    ASSERT_EQ(uname(&u), 0);
    char host[256] = {0};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    char description[512];
    snprintf(description, sizeof description, "%s %s (%s %s)", u.sysname, u.release, u.version, u.machine);

    sysinfo* info = sysinfo_new();
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->os_name, u.sysname);
    EXPECT_STREQ(info->os_version, u.version);
    EXPECT_STREQ(info->os_description, description);
    EXPECT_STREQ(info->hostname, host);
    EXPECT_EQ(info->extra1, nullptr);
    EXPECT_EQ(info->extra2, nullptr);
    EXPECT_EQ(info->extra3, nullptr);
    ASSERT_EQ(info->device_count, 1);
    ASSERT_NE(info->devices, nullptr);
    sysinfo_device* d = info->devices[0];
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->arch, "armv8");
    EXPECT_EQ(d->name, nullptr);
    EXPECT_EQ(d->model, nullptr);
    EXPECT_EQ(d->extra, nullptr);
    sysinfo_free(info);
    sysinfo_free(nullptr);
}

} // namespace
