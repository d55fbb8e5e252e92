// Stand-alone benchmark over the double: the texts on both streams, the
// node table, the per-node averages from profiler events and the CSV file.
#include <fstream>
#include <iterator>
#include <regex>

#include <stdlib.h>
#include <unistd.h>

#include "tf_test_util.h"

using namespace tftest;
using tfplugin::ProfileEvent;

namespace {

struct Out {
    int status;
    std::string out, err;
};

Out bench(nn_server* s, int iterations, bool verbose, bool all_layers, const char* csv = nullptr)
{
    Out o;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    o.status = nn_server_model_benchmark(s, iterations, 7, 2, verbose, 1, all_layers, "output", csv);
    o.err = testing::internal::GetCapturedStderr();
    o.out = testing::internal::GetCapturedStdout();
    return o;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct TempFile {
    std::string path;
    TempFile()
    {
        char tmpl[] = "/tmp/tf-bench-XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd >= 0)
            close(fd);
        path = tmpl;
    }
    ~TempFile() { unlink(path.c_str()); }
};

// The pool graph timed by pool_events: the convolution 10 us and the pool
// 3 us a run, the reshape nothing.
FakeGraph timed_graph()
{
    FakeGraph g = pool_graph();
    g.events = pool_events;
    return g;
}

const std::regex kStderr("interpreter invoked \naverage time: [0-9.e+-]+ ms \n");
const std::string kVerboseStderr = "tensors size: 6\nnodes size: 3\ninputs: 1\ninput(0) name: input\n";
const std::string kHeader =
    "Idx | Time (us) | Op Type           | Output        | Input         | Name\n" + std::string(90, '~') + "\n";
const std::string kConvRow = "   0|         10| CONV_2D           | 1             | 0 3 4         | conv \n";
const std::string kPoolRow = "   1|          3| MAX_POOL_2D       | 2             | 1             | pool \n";
const std::string kReshapeRow = "   2|          0| RESHAPE           | 5             | 2             | output \n";
// (10 + 3) us a run, in milliseconds.
const std::string kLayerSum = "Average layer sum: 0.0130 ms\n";

TEST(TfBench, QuietPrintsOnlyBothAverages)
{
    Server s;
    ASSERT_EQ(s.load(timed_graph()), 0);
    Out o = bench(s, 4, false, false);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, kLayerSum);
    EXPECT_TRUE(std::regex_match(o.err, kStderr)) << o.err;
    // The load's run, two warm-ups and four timed runs under a new profiler.
    EXPECT_EQ(binding().state->invokes, 7);
    EXPECT_EQ(binding().state->profilers, 2);
}

TEST(TfBench, VerboseTableShowsTimedNodesOrAll)
{
    struct Case {
        bool all_layers;
        std::string table;
    } cases[] = {
        {false, kHeader + kConvRow + kPoolRow + "\n"},
        {true, kHeader + kConvRow + kPoolRow + kReshapeRow + "\n"},
    };
    for (const Case& c : cases) {
        Server s;
        ASSERT_EQ(s.load(timed_graph()), 0);
        Out o = bench(s, 3, true, c.all_layers);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.out, c.table + kLayerSum) << "all_layers " << c.all_layers;
        ASSERT_EQ(o.err.rfind(kVerboseStderr, 0), 0u) << o.err;
        EXPECT_TRUE(std::regex_match(o.err.substr(kVerboseStderr.size()), kStderr)) << o.err;
    }
}

TEST(TfBench, TableColumnsCutAndUnnamedOutputs)
{
    FakeGraph g = pool_graph();
    // Nine inputs of three characters each: the 32-byte field keeps seven.
    g.nodes[1].inputs = {100, 101, 102, 103, 104, 105, 106, 107, 108};
    g.nodes[2].outputs = {};
    g.tensors[1].unnamed = true;
    g.events = [](int) { return std::vector<ProfileEvent>{op_event(1, 0, 2), op_event(2, 0, 5000)}; };
    Server s;
    ASSERT_EQ(s.load(g), 0);
    Out o = bench(s, 1, true, true);
    EXPECT_EQ(o.out, kHeader + "   0|          0| CONV_2D           | 1             | 0 3 4         |  \n" +
                         "   1|          2| MAX_POOL_2D       | 2             | 100 101 102 103 104 105 106 | pool \n" +
                         "   2|       5000| RESHAPE           |               | 2             |  \n\n" +
                         "Average layer sum: 5.0020 ms\n");
}

TEST(TfBench, CsvWithAndWithoutVerbose)
{
    struct Case {
        bool verbose;
        const char* csv;
    } cases[] = {
        {true, "index, name, type, time(us)\n0, conv, CONV_2D, 10\n1, pool, MAX_POOL_2D, 3\n2, output, RESHAPE, 0\n"},
        {false, "index, name, type, time(us)\n0, conv, CONV_2D, 0\n1, pool, MAX_POOL_2D, 0\n2, output, RESHAPE, 0\n"},
    };
    for (const Case& c : cases) {
        Server s;
        ASSERT_EQ(s.load(timed_graph()), 0);
        TempFile file;
        Out o = bench(s, 2, c.verbose, false, file.path.c_str());
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(slurp(file.path), c.csv) << "verbose " << c.verbose;
    }
    Server s;
    ASSERT_EQ(s.load(timed_graph()), 0);
    Out o = bench(s, 1, false, false, "/nonexistent/dir/out.csv");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("failed to create /nonexistent/dir/out.csv: No such file or directory\n"), std::string::npos);
}

TEST(TfBench, FailedRunsStopWithOne)
{
    struct Case {
        const char* name;
        int failing_invoke;  // counted from the load's run (0)
    } cases[] = {{"first warm-up", 1}, {"second warm-up", 2}, {"a timed run", 4}};
    for (const Case& c : cases) {
        Server s;
        FakeGraph g = timed_graph();
        int failing = c.failing_invoke;
        g.invoke_ok = [failing](int n) { return n != failing; };
        ASSERT_EQ(s.load(g), 0);
        Out o = bench(s, 5, true, false);
        EXPECT_EQ(o.status, 1) << c.name;
        EXPECT_EQ(o.err, kVerboseStderr + "Failed to invoke tflite!\n") << c.name;
        EXPECT_EQ(o.out, "") << c.name;
    }
    Server s;
    ASSERT_EQ(s.load(timed_graph()), 0);
    Out zero = bench(s, 0, false, false);
    EXPECT_EQ(zero.status, 6);
    EXPECT_EQ(zero.err, "[ERROR] invalid benchmark iteration count: 0\n");
}

TEST(TfBench, EventsAddUpByNodeIndexOnly)
{
    struct Case {
        const char* name;
        std::vector<ProfileEvent> events;
        std::vector<int64_t> ns;  // per node of three
    } cases[] = {
        {"in order", {op_event(0, 10, 15), op_event(1, 15, 16), op_event(2, 16, 20)}, {5000, 1000, 4000}},
        {"out of order and repeated", {op_event(2, 0, 2), op_event(0, 0, 1), op_event(2, 5, 8)}, {1000, 0, 5000}},
        {"a delegate's own operators", {other_event(0, 0, 100), op_event(1, 0, 7), other_event(1, 0, 9)}, {0, 7000, 0}},
        // A position-indexed sum would write past the array here.
        {"indices outside the nodes",
         {op_event(3, 0, 1), op_event(1000, 0, 1), op_event(-1, 0, 1), op_event(INT64_MIN, 0, 1)},
         {0, 0, 0}},
        {"more events than nodes",
         {op_event(0, 0, 1), op_event(0, 1, 2), op_event(0, 2, 3), op_event(0, 3, 4), op_event(0, 4, 5)},
         {5000, 0, 0}},
        {"an end before its begin", {op_event(1, 10, 4)}, {0, 0, 0}},
        {"none", {}, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        // One guard entry after the three nodes must stay untouched.
        int64_t times[4] = {0, 0, 0, -77};
        tfplugin::accumulate_events(times, 3, c.events.data(), c.events.size());
        for (size_t i = 0; i < 3; ++i)
            EXPECT_EQ(times[i], c.ns[i]) << c.name << " node " << i;
        EXPECT_EQ(times[3], -77) << c.name;
    }
}

TEST(TfBench, AveragesOverVaryingRuns)
{
    // Runs of 2, 4, 6 and 8 us on node 1: 5 us on average (integer µs).
    FakeGraph g = pool_graph();
    g.events = [](int n) { return std::vector<ProfileEvent>{op_event(1, 0, static_cast<uint64_t>(2 * (n - 2)))}; };
    Server s;
    ASSERT_EQ(s.load(g), 0);
    Out o = bench(s, 4, true, false);
    EXPECT_EQ(o.out, kHeader + "   1|          5| MAX_POOL_2D       | 2             | 1             | pool \n\n" +
                         "Average layer sum: 0.0050 ms\n");
    EXPECT_EQ(s.s->op_time[1], 20000) << "the sum stays in nanoseconds";
}

}  // namespace
