// The OpenVX plug-in's entry points, model loading and benchmark, over the
// ovxlib stand-in and its test controls.
#include <gtest/gtest.h>

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ovx_models.h"
#include "ovx_server.h"
#include "ovxlib/ovxlib_test.h"
#include "linked_plugin.h"

namespace {

using kfm_parts::TempDir;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class Ovx : public testing::Test {
protected:
    void SetUp() override { ovxlib_test_reset(); }
    void TearDown() override
    {
        ovxlib_test_reset();
        EXPECT_EQ(ovxlib_test_live_graphs(), 0u);
        EXPECT_EQ(ovxlib_test_live_contexts(), 0u);
    }
};

using plugin_call::Server;

// ---- entry points ------------------------------------------------------------

TEST_F(Ovx, PluginInitFillsTheRecordAndLeavesTheProgramsFields)
{
    nn_plugin record;
    memset(&record, 0, sizeof record);
    int marker = 0;
    record.server = reinterpret_cast<nn_server*>(&marker);
    record.library = &marker;
    record.nn_plugin_init = nn_plugin_init;
    ASSERT_EQ(nn_plugin_init(&record), 0);
    EXPECT_STREQ(record.name, "KestruneRT OpenVX");
    EXPECT_STREQ(record.version, vsi_nn_GetVersion());
    EXPECT_EQ(record.server, reinterpret_cast<nn_server*>(&marker));
    EXPECT_EQ(record.library, &marker);
    EXPECT_EQ(record.reserved, nullptr);
    EXPECT_EQ(record.nn_plugin_init, nn_plugin_init);
    EXPECT_EQ(record.nn_plugin_cleanup, nn_plugin_cleanup);
    EXPECT_EQ(record.nn_server_options, nn_server_options);
    EXPECT_EQ(record.nn_server_init, nn_server_init);
    EXPECT_EQ(record.nn_server_release, nn_server_release);
    EXPECT_EQ(record.nn_server_model_load, nn_server_model_load);
    EXPECT_EQ(record.nn_server_model_unload, nn_server_model_unload);
    EXPECT_EQ(record.nn_server_http_handler, nn_server_http_handler);
    EXPECT_EQ(record.nn_server_model_benchmark, nn_server_model_benchmark);
    EXPECT_EQ(record.nn_server_model_validated, nn_server_model_validated);
    EXPECT_EQ(record.nn_server_user_ops, nn_server_user_ops);
    EXPECT_EQ(record.nn_server_unix_handler, nn_server_unix_handler);
}

TEST_F(Ovx, InitFillsTheRecord)
{
    Server s;
    ASSERT_NE(s.s, nullptr);
    EXPECT_STREQ(nn_server_input_name(s), "input");
    EXPECT_STREQ(nn_server_output_name(s), "output");
    EXPECT_EQ(s.s->max_model_size, 64u << 20);
    EXPECT_EQ(nn_server_model(s), nullptr);
    EXPECT_NE(s.s->context, nullptr);
    EXPECT_EQ(nn_server_model_validated(s), 0);
    EXPECT_STREQ(nn_server_set_output_name(s, "probs"), "probs");
    EXPECT_STREQ(nn_server_output_name(s), "probs");
}

TEST_F(Ovx, CallersBufferIsTheModelAndItsSizeTheLimit)
{
    kfm::Buffer model = kfm::write(ovx_models::classifier());
    nn_server* s = nn_server_init(1, 1 << 20, nullptr, 1 << 20, nullptr, model.size(), model.data());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(nn_server_model(s), model.data());
    EXPECT_EQ(s->max_model_size, model.size());
    EXPECT_EQ(nn_server_model_load(s, nullptr, 0), 0);
    EXPECT_EQ(nn_server_model_validated(s), 1);
    nn_server_release(s);  // the caller's bytes stay the caller's
    EXPECT_EQ(nn_model_validate(model.data(), model.size()), 0);
}

TEST_F(Ovx, NoContextNoServer)
{
    ovxlib_test_fail_call(OVXLIB_CALL_CREATE_CONTEXT, 1);
    EXPECT_EQ(nn_server_init(0, 0, nullptr, 0, nullptr, 1024, nullptr), nullptr);
}

TEST_F(Ovx, OptionsUserOpsAndDatagrams)
{
    Server s;
    const nn_plugin_options options{16, 1, 0};
    EXPECT_EQ(nn_server_options(s, &options), 0);
    EXPECT_EQ(nn_server_options(s, nullptr), 0);
    EXPECT_EQ(s.s->max_model_size, 64u << 20);
    EXPECT_EQ(nn_server_user_ops(s, "lib.so:callback"), 5);

    // No datagram RPC: a datagram that arrives is dropped (left queued, it
    // would keep the serving loop's select ready).
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
    ASSERT_EQ(send(fds[1], "ping", 4, 0), 4);
    testing::internal::CaptureStderr();
    nn_server_unix_handler(s, fds[0]);
    testing::internal::GetCapturedStderr();
    char buf[8];
    EXPECT_EQ(recv(fds[0], buf, sizeof buf, MSG_DONTWAIT), -1) << "the datagram is still queued";
    close(fds[0]);
    close(fds[1]);
}

// ---- model load ------------------------------------------------------------------

TEST_F(Ovx, LoadMapsBuildsAndRunsOnce)
{
    TempDir dir;
    Server s;
    const std::string path = dir.file("m.kfm", kfm::write(ovx_models::softmax_classifier()));
    ASSERT_EQ(nn_server_model_load(s, path.c_str(), 1), 0);
    EXPECT_EQ(nn_server_model_validated(s), 1);
    EXPECT_EQ(s.s->mapped, 1);
    EXPECT_NE(s.s->graph, nullptr);
    EXPECT_EQ(ovxlib_test_run_count(), 1u) << "one warm-up run per good load";
    EXPECT_EQ(ovxlib_test_live_graphs(), 1u);
    // A second load replaces the first.
    ASSERT_EQ(nn_server_model_load(s, path.c_str(), 1), 0);
    EXPECT_EQ(ovxlib_test_run_count(), 2u);
    EXPECT_EQ(ovxlib_test_live_graphs(), 1u);
    nn_server_model_unload(s);
    EXPECT_EQ(nn_server_model_validated(s), 0);
    EXPECT_EQ(s.s->mapped, 0);
    EXPECT_EQ(nn_server_model(s), nullptr);
    EXPECT_EQ(s.s->graph, nullptr);
    EXPECT_EQ(s.s->tensor_ids, nullptr);
}

TEST_F(Ovx, MissingFileIsASystemError)
{
    TempDir dir;
    Server s;
    errno = 0;
    EXPECT_EQ(nn_server_model_load(s, (dir.path + "/absent.kfm").c_str(), 1), 18);
    EXPECT_EQ(errno, ENOENT);
    const std::string empty = dir.write("empty.kfm", "");
    EXPECT_EQ(nn_server_model_load(s, empty.c_str(), 1), 18);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(nn_server_model_validated(s), 0);
}

TEST_F(Ovx, NotAModelStaysMappedUntilTheNextLoad)
{
    TempDir dir;
    Server s;
    const std::string junk = dir.write("junk.kfm", std::string(64, 'x'));
    CaptureStderr();
    EXPECT_EQ(nn_server_model_load(s, junk.c_str(), 1), 1);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(err.rfind("[ERROR] invalid model: ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    EXPECT_EQ(s.s->mapped, 1);
    EXPECT_EQ(nn_server_model_validated(s), 0);
    EXPECT_EQ(ovxlib_test_live_graphs(), 0u);
    const std::string good = dir.file("good.kfm", kfm::write(ovx_models::classifier()));
    ASSERT_EQ(nn_server_model_load(s, good.c_str(), 1), 0);
    EXPECT_EQ(s.s->model_size, kfm::write(ovx_models::classifier()).size()) << "the junk mapping went";
}

// Each failing step prints its line, leaves nothing built and a server that
// loads the next model.
TEST_F(Ovx, FailedStepsUnloadWithTheirMessage)
{
    struct Case {
        const char* name;
        ovxlib_test_call fail;
        bool gru;
        const char* message;
    } cases[] = {
        {"gru", OVXLIB_CALL_KINDS, true, "[ERROR]VSI Graph Build failure\n"},
        {"setup", OVXLIB_CALL_SETUP_GRAPH, false, "[ERROR]VX Graph Setup/Verify failure\n"},
        {"verify", OVXLIB_CALL_VERIFY_GRAPH, false, "[ERROR]VX Graph Setup/Verify failure\n"},
        {"run", OVXLIB_CALL_RUN_GRAPH, false, "[ERROR]VX Graph Run Failure\n"},
    };
    TempDir dir;
    const std::string good = dir.file("good.kfm", kfm::write(ovx_models::classifier()));
    const std::string gru = dir.file("gru.kfm", kfm::write(ovx_models::gru_model()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Server s;
        ovxlib_test_reset();
        if (c.fail != OVXLIB_CALL_KINDS)
            ovxlib_test_fail_call(c.fail, 1);
        CaptureStderr();
        EXPECT_EQ(nn_server_model_load(s, (c.gru ? gru : good).c_str(), 1), 1);
        const std::string err = GetCapturedStderr();
        ASSERT_GE(err.size(), strlen(c.message));
        EXPECT_EQ(err.substr(err.size() - strlen(c.message)), c.message) << err;
        if (c.gru) {
            // The graph library's two lines come first.
            EXPECT_EQ(err, std::string("[ERROR]Unsupported KFM operation\n") +
                               "[ERROR]Failed to create VX node of type:gru, name:gru\n" + c.message);
        }
        EXPECT_EQ(nn_server_model_validated(s), 0);
        EXPECT_EQ(s.s->graph, nullptr);
        EXPECT_EQ(s.s->tensor_ids, nullptr);
        EXPECT_EQ(s.s->mapped, 0);
        EXPECT_EQ(ovxlib_test_live_graphs(), 0u);
        EXPECT_EQ(nn_server_model_load(s, good.c_str(), 1), 0);
    }
}

// ---- benchmark -------------------------------------------------------------------

struct Bench {
    int status;
    std::string out, err;
    uint64_t runs;
    double wall_ms;  // the whole call, warm-up run included
};

Bench bench(nn_server* s, int iterations, int pause_ms)
{
    const uint64_t before = ovxlib_test_run_count();
    CaptureStdout();
    CaptureStderr();
    Bench b;
    const auto start = std::chrono::steady_clock::now();
    b.status = nn_server_model_benchmark(s, iterations, pause_ms, -1, 1, 1, 1, "output", "/nonexistent/x.csv");
    b.wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    b.out = GetCapturedStdout();
    b.err = GetCapturedStderr();
    b.runs = ovxlib_test_run_count() - before;
    return b;
}

double average_ms(const std::string& out)
{
    const std::string head = "\nAverage model run time: ";
    EXPECT_EQ(out.rfind(head, 0), 0u) << out;
    EXPECT_EQ(out.substr(out.size() - 4), " ms\n") << out;
    return std::atof(out.c_str() + head.size());
}

TEST_F(Ovx, BenchmarkTakesThePausesOut)
{
    TempDir dir;
    Server s;
    ASSERT_EQ(nn_server_model_load(s, dir.file("m.kfm", kfm::write(ovx_models::classifier())).c_str(), 1), 0);
    ovxlib_test_set_run_delay_us(2000);
    struct Case {
        int iterations, pause;
    } cases[] = {{10, 5}, {3, 800} /* 2400 ms of pauses: past 32 bits in ns */};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.iterations);
        Bench b = bench(s, c.iterations, c.pause);
        EXPECT_EQ(b.status, 0);
        EXPECT_EQ(b.runs, static_cast<uint64_t>(c.iterations) + 1) << "one run, then the timed ones";
        // Each run takes the 2 ms delay at least; the average can be no more
        // than the call's own time less the pauses, per run (on an idle
        // machine about 2-4 ms; a sleep that overshoots on a busy one counts
        // as run time).  Pauses left in, or wrapped in 32 bits, break it.
        const double ms = average_ms(b.out);
        EXPECT_GE(ms, 2.0);
        EXPECT_LE(ms, (b.wall_ms - c.iterations * c.pause) / c.iterations);
        EXPECT_EQ(b.err, "") << "no table, no export file";
        EXPECT_EQ(b.out.find("Idx"), std::string::npos);
    }
}

TEST_F(Ovx, BenchmarkWithoutTimedRunsPrintsNoAverage)
{
    TempDir dir;
    Server s;
    ASSERT_EQ(nn_server_model_load(s, dir.file("m.kfm", kfm::write(ovx_models::classifier())).c_str(), 1), 0);
    for (int iterations : {0, -3}) {
        Bench b = bench(s, iterations, 5);
        EXPECT_EQ(b.status, 0);
        EXPECT_EQ(b.runs, 1u);
        EXPECT_EQ(b.out, "");
    }
}

TEST_F(Ovx, BenchmarkRunFailure)
{
    TempDir dir;
    Server s;
    ASSERT_EQ(nn_server_model_load(s, dir.file("m.kfm", kfm::write(ovx_models::classifier())).c_str(), 1), 0);
    for (uint32_t failing : {1u, 4u}) {  // the first run, a timed one
        SCOPED_TRACE(failing);
        ovxlib_test_fail_call(OVXLIB_CALL_RUN_GRAPH, failing);
        Bench b = bench(s, 5, 0);
        EXPECT_EQ(b.status, 1);
        EXPECT_EQ(b.err, std::string("failed to run context: ") + nn_strerror(1) + "\n");
        EXPECT_EQ(b.out, "");
        EXPECT_EQ(b.runs, failing);
    }
    nn_server_model_unload(s);
    Bench b = bench(s, 5, 0);  // nothing loaded
    EXPECT_EQ(b.status, 1);
    EXPECT_EQ(b.runs, 0u);
}

}  // namespace
