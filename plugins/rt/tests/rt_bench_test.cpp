// Stand-alone benchmark: table, CSV export, averages and failures, on
// captured standard output.
#include <regex>

#include "rt_test_util.h"

using namespace rt_test;

namespace {

using kfm_parts::ints;
using kfm_parts::text;

// input -> conv2d with a constant filter -> max pool2d -> concat of the pool
// with itself on the channel axis. The table tests step the input layer only
// (every other row has no time); the full run checks the real values.
kfm::Model bench_model()
{
    kfm::Model m;
    m.name = "bench";
    kfm::Layer conv = f32("conv", NN_LAYER_CONV2D, {1, 3, 3, 1}, {0, 1});
    conv.parameters = std::vector<kfm::Parameter>{ints("strides", {1, 1, 1, 1})};
    kfm::Layer pool = f32("pool", NN_LAYER_POOL2D, {1, 2, 2, 1}, {2});
    pool.parameters = std::vector<kfm::Parameter>{ints("ksize", {1, 2, 2, 1}), ints("strides", {1, 1, 1, 1}),
                                                  text("pooling", "MAXIMUM")};
    kfm::Layer cat = f32("cat", NN_LAYER_CONCAT, {1, 2, 2, 2}, {3, 3});
    // Four values of ten characters each: the column keeps the first three.
    kfm::Parameter axis = kfm::parameter("axis");
    axis.data_i16 = std::vector<int16_t>{3};
    cat.parameters = std::vector<kfm::Parameter>{ints("strides", {123456789, 123456789, 123456789, 4}), axis};
    m.layers = std::vector<kfm::Layer>{f32("l0", NN_LAYER_INPUT, {1, 4, 4, 1}),
                                       constant("filter", {2, 2, 1, 1}, {1, 0, 0, 1}), conv, pool, cat};
    return m;
}

kfm::Model fill_chain()
{
    return kfm_parts::fill_chain(6);
}

struct Bench {
    TempDir dir;
    Server s;
    explicit Bench(const kfm::Model& m)
    {
        std::string path = dir.write("m.kfm", bytes_of(kfm::write(m)));
        EXPECT_EQ(nn_server_model_load(s, path.c_str(), 0), 0);
    }
    struct Out {
        int status;
        std::string out, err;
    };
    Out run(int iterations, int pause, int layer, bool verbose, bool io, bool all, const char* csv = nullptr)
    {
        Out o;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        o.status = nn_server_model_benchmark(s, iterations, pause, layer, verbose, io, all, "output", csv);
        o.err = testing::internal::GetCapturedStderr();
        o.out = testing::internal::GetCapturedStdout();
        return o;
    }
};

const std::string kHeader = "Idx | Time (us) | Op Type | Output        | Input         | Filter        | Stride  | Name\n";
const std::string kRows[] = {
    "   0|          0| input   | 1 4 4 1       |               |               |         | l0\n",
    "   1|          0| constant| 2 2 1 1       |               |               |         | filter\n",
    "   2|          0| conv2d  | 1 3 3 1       | 1 4 4 1       | 2 2 1 1       | 1 1 1 1 | conv\n",
    "   3|          0| pool2d  | 1 2 2 1       | 1 3 3 1       | 1 2 2 1       | 1 1 1 1 | pool\n",
    "   4|          0| concat  | 1 2 2 2       |               |               | 123456789 123456789 123456789 | cat\n",
};
const std::regex kAverage("Average model run time: [0-9]+\\.[0-9]{4} ms \\(layer sum: [0-9]+\\.[0-9]{4} ms\\)\n");

TEST(RtBench, TableRowsWithAllLayers)
{
    Bench b(bench_model());
    Bench::Out o = b.run(2, 0, 0, true, false, true);
    ASSERT_EQ(o.status, 0) << o.err;
    std::string expected = kHeader + std::string(90, '~') + "\n";
    for (const std::string& row : kRows)
        expected += row;
    expected += "\n";
    ASSERT_EQ(o.out.substr(0, expected.size()), expected);
    std::string rest = o.out.substr(expected.size());
    EXPECT_TRUE(std::regex_match(rest, kAverage)) << rest;
    EXPECT_NE(rest.find("(layer sum: 0.0000 ms)"), std::string::npos);
}

TEST(RtBench, FullRunOfRealLayersTimesEachAndComputes)
{
    Bench b(bench_model());
    nn_context* ctx = nn_server_context(b.s);
    const std::vector<float> x = {3, -1, 4, 1, -5, 9, 2, -6, 5, 3, -5, 8, 9, -7, 9, 3};
    nn_tensor* in = nn_context_tensor_index(ctx, 0);
    float* p = static_cast<float*>(nn_tensor_mapwo(in));
    ASSERT_NE(p, nullptr);
    std::copy(x.begin(), x.end(), p);
    nn_tensor_unmap(in);
    Bench::Out o = b.run(2, 0, -1, true, false, true);
    ASSERT_EQ(o.status, 0) << o.err;
    ASSERT_EQ(o.out.rfind(kHeader, 0), 0u) << o.out;
    // Every layer has its row, with whatever time the run took.
    for (const char* row : {"   2\\|\\s+[0-9]+\\| conv2d  \\| 1 3 3 1 ", "   3\\|\\s+[0-9]+\\| pool2d  \\| 1 2 2 1 ",
                            "   4\\|\\s+[0-9]+\\| concat  \\| 1 2 2 2 "})
        EXPECT_TRUE(std::regex_search(o.out, std::regex(row))) << row << "\n" << o.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(o.out, m, kAverage)) << o.out;
    // conv: c[y][x] = x[y][x] + x[y+1][x+1]; pool: the max of each 2x2 window
    // at stride 1; concat: each value twice on the channel axis.
    double conv[3][3], want[8];
    for (int y = 0; y < 3; ++y)
        for (int c = 0; c < 3; ++c)
            conv[y][c] = x[(size_t)(y * 4 + c)] + x[(size_t)((y + 1) * 4 + c + 1)];
    for (int y = 0; y < 2; ++y)
        for (int c = 0; c < 2; ++c) {
            double v = std::max(std::max(conv[y][c], conv[y][c + 1]), std::max(conv[y + 1][c], conv[y + 1][c + 1]));
            want[(y * 2 + c) * 2] = want[(y * 2 + c) * 2 + 1] = v;
        }
    nn_tensor* out = nn_context_tensor_index(ctx, 4);
    const float* q = static_cast<const float*>(nn_tensor_mapro(out));
    ASSERT_NE(q, nullptr);
    for (size_t i = 0; i < 8; ++i)
        EXPECT_DOUBLE_EQ(q[i], want[i]) << i;
    nn_tensor_unmap(out);
}

TEST(RtBench, ZeroTimeRowsOnlyWithAllLayersAndIoColumn)
{
    Bench b(bench_model());
    Bench::Out quiet = b.run(1, 0, 0, true, false, false);
    EXPECT_EQ(quiet.out.substr(0, kHeader.size() + 92), kHeader + std::string(90, '~') + "\n\n");
    Bench::Out io = b.run(1, 0, 0, true, true, true);
    std::string io_header =
        "Idx | Time (us) | IO Time  | Op Type | Output        | Input         | Filter        | Stride  | Name\n" +
        std::string(101, '~') + "\n";
    EXPECT_EQ(io.out.substr(0, io_header.size()), io_header);
    EXPECT_NE(io.out.find("   2|          0|         0| conv2d  | 1 3 3 1       | 1 4 4 1       | 2 2 1 1       | "
                          "1 1 1 1 | conv\n"),
              std::string::npos)
        << io.out;
    Bench::Out plain = b.run(3, 0, 0, false, false, false);
    EXPECT_TRUE(std::regex_match(plain.out, kAverage)) << plain.out;
    EXPECT_NE(plain.out.find("(layer sum: 0.0000 ms)"), std::string::npos);
}

TEST(RtBench, CsvExport)
{
    Bench b(bench_model());
    std::string csv = b.dir.path + "/out.csv";
    Bench::Out o = b.run(2, 0, 0, true, false, false, csv.c_str());
    ASSERT_EQ(o.status, 0) << o.err;
    std::ifstream in(csv);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text,
              "index, name, type, time, io_time\n"
              "0, l0, input, 0, 0\n"
              "1, filter, constant, 0, 0\n"
              "2, conv, conv2d, 0, 0\n"
              "3, pool, pool2d, 0, 0\n"
              "4, cat, concat, 0, 0\n");

    std::string missing = b.dir.path + "/no/such/dir/out.csv";
    Bench::Out bad = b.run(1, 0, 0, true, false, true, missing.c_str());
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "failed to create " + missing + ": No such file or directory\n");
    EXPECT_EQ(bad.out.find("Average model run time"), std::string::npos);
    EXPECT_EQ(bad.out.rfind(kHeader, 0), 0u) << "the table is printed before the export";
}

TEST(RtBench, LayerStepsOnlyThatLayerAndPausesAreSubtracted)
{
    Bench b(fill_chain());
    nn_tensor* t = nn_context_tensor_index(nn_server_context(b.s), 0);
    float* p = static_cast<float*>(nn_tensor_mapwo(t));
    ASSERT_NE(p, nullptr);
    p[0] = -7.0f;
    nn_tensor_unmap(t);
    Bench::Out o = b.run(3, 100, 3, true, false, false);
    ASSERT_EQ(o.status, 0) << o.err;
    const float* q = static_cast<const float*>(nn_tensor_mapro(t));
    EXPECT_EQ(q[0], 3.0f) << "layer 3 alone ran";
    nn_tensor_unmap(t);
    // Only layer 3 has time: one row.
    EXPECT_NE(o.out.find("\n   3| "), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("\n   4| "), std::string::npos) << o.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(o.out, m, std::regex("Average model run time: ([0-9.]+) ms")));
    EXPECT_LT(std::stod(m[1]), 60.0) << "100 ms pauses are not part of the average";
}

TEST(RtBench, Failures)
{
    Bench b(bench_model());
    Bench::Out zero = b.run(0, 0, -1, false, false, false);
    EXPECT_EQ(zero.status, 6);
    EXPECT_EQ(zero.err, "[ERROR] invalid benchmark iteration count: 0\n");
    // A user-operation layer without a registered handler fails the run:
    // the run's status, its message, no table and no average.
    kfm::Model m;
    m.layers = std::vector<kfm::Layer>{f32("l0", NN_LAYER_INPUT, {1, 4}), f32("op", NN_LAYER_USER_OP, {1, 4}, {0})};
    Bench failing(m);
    Bench::Out run = failing.run(2, 0, -1, true, false, true);
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find("failed to run context: "), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
}

}  // namespace
