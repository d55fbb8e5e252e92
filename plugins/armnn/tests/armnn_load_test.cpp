// The Arm NN plug-in's record, model loading with its statuses and texts,
// the compute values' backend lists, unloading and the benchmark.
#include "armnn_test_util.h"

#include <cmath>

#include "case_name.h"

namespace armnn_test {
namespace {

using tflite_test::Model;

TEST(ArmnnRecord, NamesVersionAndEntryPoints)
{
    const nn_plugin& p = plugin();
    EXPECT_STREQ(p.name, "ArmNN");
    EXPECT_STREQ(p.version, "24.0.0");
    ASSERT_NE(Plugin::get().engine_name, nullptr);
    EXPECT_STREQ(Plugin::get().engine_name, "ArmNN");
    ASSERT_NE(Plugin::get().armnn_version, nullptr);
    EXPECT_STREQ(Plugin::get().armnn_version, "24.0.0");
    EXPECT_EQ(p.server, nullptr);
    EXPECT_EQ(p.library, nullptr);
    EXPECT_EQ(p.reserved, nullptr);
    for (auto fn : {(void*)p.nn_plugin_cleanup, (void*)p.nn_server_options, (void*)p.nn_server_init,
                    (void*)p.nn_server_release, (void*)p.nn_server_model_load, (void*)p.nn_server_model_unload,
                    (void*)p.nn_server_http_handler, (void*)p.nn_server_model_benchmark,
                    (void*)p.nn_server_model_validated, (void*)p.nn_server_user_ops, (void*)p.nn_server_unix_handler})
        EXPECT_NE(fn, nullptr);
}

TEST(ArmnnRecord, UserOpsRefusedAndDatagramsDropped)
{
    Server server;
    EXPECT_EQ(plugin().nn_server_user_ops(server, "lib.so:fn"), 5);
    // Left queued, a datagram would keep the serving loop's select ready.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
    ASSERT_EQ(send(fds[1], "x", 1, 0), 1);
    testing::internal::CaptureStderr();
    plugin().nn_server_unix_handler(server, fds[0]);
    testing::internal::GetCapturedStderr();
    char byte = 0;
    EXPECT_EQ(recv(fds[0], &byte, 1, MSG_DONTWAIT), -1) << "the datagram is still queued";
    close(fds[0]);
    close(fds[1]);
}

TEST(ArmnnRecord, OptionsNeedAServer)
{
    nn_plugin_options options{4, 2, 3};
    EXPECT_EQ(plugin().nn_server_options(nullptr, &options), 12);
    Server server;
    EXPECT_EQ(plugin().nn_server_options(server, &options), 0);
}

// ---- loading -----------------------------------------------------------------

enum class Source { file, missing, garbage, truncated };

struct LoadCase {
    std::string label;
    Model model;
    Source source;
    int status;
    std::string stderr_text;  // expected in stderr ("" checks nothing)
};

Model without_outputs()
{
    Model m;
    m.tensors.push_back({"input", {1, 2}, TensorType::float32, std::nullopt, {}});
    m.inputs = {0};
    return m;
}

const std::string exception_line = "a standard exception was caught, with message '";

std::vector<LoadCase> load_cases()
{
    using tflite_test::pool_model;
    return {
        {"float32 pool", pool_model(TensorType::float32), Source::file, 0, ""},
        {"uint8 pool", pool_model(TensorType::uint8), Source::file, 0, ""},
        {"int8 pool", pool_model(TensorType::int8), Source::file, 0, ""},
        {"softmax", tflite_test::softmax_model(), Source::file, 0, ""},
        {"four outputs", pool_model(TensorType::float32, 4, 4, 3, 4), Source::file, 0, ""},
        {"five outputs", pool_model(TensorType::float32, 4, 4, 3, 5), Source::file, 13,
         "[ERROR] model has 5 outputs, at most 4 are supported\n"},
        {"outsized input", pool_model(TensorType::float32, 8192, 8192, 2), Source::file, 13,
         "[ERROR] model tensor input is larger than 268435456 bytes\n"},
        {"two inputs", tflite_test::add_model(), Source::file, 13, exception_line},
        {"no outputs", without_outputs(), Source::file, 1, ""},
        {"missing file", pool_model(TensorType::float32), Source::missing, 13, exception_line + "Cannot find the file"},
        {"garbage", pool_model(TensorType::float32), Source::garbage, 13,
         exception_line + "Buffer doesn't conform to the expected Tensorflow Lite flatbuffers format"},
        {"truncated", pool_model(TensorType::float32), Source::truncated, 13, exception_line},
    };
}

class ArmnnLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(ArmnnLoad, StatusAndMessages)
{
    const LoadCase& c = GetParam();
    TempDir dir;
    std::string path = dir.file("model.tflite");
    std::vector<uint8_t> bytes = tflite_test::write(c.model);
    if (c.source == Source::garbage)
        bytes.assign(200, 0x5A);
    if (c.source == Source::truncated)
        bytes.resize(bytes.size() / 2);
    if (c.source != Source::missing) {
        ASSERT_TRUE(tflite_test::write_file(path, bytes));
    }

    Server server;
    EXPECT_EQ(plugin().nn_server_model_validated(server), 0);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = plugin().nn_server_model_load(server, path.c_str(), 1);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, c.status) << err;
    EXPECT_NE(err.find(c.stderr_text), std::string::npos) << err;
    EXPECT_EQ(out.find("Model loaded and validated\n") != std::string::npos, c.status == 0) << out;
    EXPECT_EQ(plugin().nn_server_model_validated(server), c.status == 0 ? 1 : 0);
    plugin().nn_server_model_unload(server);
    EXPECT_EQ(plugin().nn_server_model_validated(server), 0);
    plugin().nn_server_model_unload(server);  // twice is harmless
}

INSTANTIATE_TEST_SUITE_P(Models, ArmnnLoad, ::testing::ValuesIn(load_cases()), case_name<LoadCase>);

TEST(ArmnnLoadAgain, ASecondLoadReplacesTheFirst)
{
    TempDir dir;
    const std::string pool = write_model(dir, "pool.tflite", tflite_test::pool_model(TensorType::float32));
    const std::string bad = dir.file("missing.tflite");
    Server server;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(plugin().nn_server_model_load(server, pool.c_str(), 1), 0);
    EXPECT_EQ(plugin().nn_server_model_load(server, pool.c_str(), 1), 0);
    EXPECT_EQ(plugin().nn_server_model_load(server, bad.c_str(), 1), 13);
    EXPECT_EQ(plugin().nn_server_model_validated(server), 0) << "a failed load leaves no model";
    EXPECT_EQ(plugin().nn_server_model_load(server, pool.c_str(), 1), 0);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
}

// ---- compute values ------------------------------------------------------------

struct ComputeCase {
    std::string label;
    int compute;
    std::string line;
};

class ArmnnCompute : public ::testing::TestWithParam<ComputeCase> {};

TEST_P(ArmnnCompute, PreferenceLineAndTheModelStillLoads)
{
    const ComputeCase& c = GetParam();
    TempDir dir;
    const std::string path = write_model(dir, "pool.tflite", tflite_test::pool_model(TensorType::float32));
    // Set at creation, and through the options of a server made for another value.
    for (bool by_options : {false, true}) {
        Server server(by_options ? 3 - (c.compute == 3) : c.compute);
        if (by_options) {
            nn_plugin_options options{4, c.compute, 3};
            ASSERT_EQ(plugin().nn_server_options(server, &options), 0);
        }
        testing::internal::CaptureStdout();
        int status = plugin().nn_server_model_load(server, path.c_str(), 1);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, 0) << "options " << by_options;
        EXPECT_EQ(out, c.line + "Model loaded and validated\n") << "options " << by_options;
    }
}

INSTANTIATE_TEST_SUITE_P(Values, ArmnnCompute,
                         ::testing::Values(ComputeCase{"cpu neon", 0, "CPU+NEON backend preference\n"},
                                           ComputeCase{"one", 1, "Reference CPU(CpuRef) preference\n"},
                                           ComputeCase{"gpu", 2, "GPU backend preference\n"},
                                           ComputeCase{"npu", 3, "NPU backend preference\n"},
                                           ComputeCase{"seven", 7, "Reference CPU(CpuRef) preference\n"}),
                         case_name<ComputeCase>);

// ---- benchmark ---------------------------------------------------------------------

class ArmnnBenchmark : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string path = write_model(dir, "pool.tflite", tflite_test::pool_model(TensorType::float32));
        testing::internal::CaptureStdout();
        ASSERT_EQ(plugin().nn_server_model_load(server, path.c_str(), 1), 0);
        testing::internal::GetCapturedStdout();
    }

    // The average the benchmark printed, or -1.
    static double inference_ms(const std::string& out)
    {
        const std::string head = "\n\nInference Time = ";
        size_t at = out.find(head);
        if (at == std::string::npos || out.find(" ms\n", at) == std::string::npos)
            return -1.0;
        return std::strtod(out.c_str() + at + head.size(), nullptr);
    }

    TempDir dir;
    Server server;
};

TEST_F(ArmnnBenchmark, WithAnExportPathWritesTheProfile)
{
    const std::string profile = dir.file("prof.txt");
    testing::internal::CaptureStdout();
    int status = plugin().nn_server_model_benchmark(server, 20, 1000, -1, 0, 0, 0, "output", profile.c_str());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0);
    EXPECT_GT(inference_ms(out), 0.0) << out;
    EXPECT_FALSE(read_file(profile).empty()) << "the profiler's analysis is written";
}

TEST_F(ArmnnBenchmark, WithoutAnExportPathWritesNoFile)
{
    testing::internal::CaptureStdout();
    int status = plugin().nn_server_model_benchmark(server, 5, 0, -1, 1, 1, 1, "output", nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0);
    EXPECT_GE(inference_ms(out), 0.0) << out;
    EXPECT_EQ(std::system(("test -z \"$(ls -A '" + dir.path + "' | grep -v pool.tflite)\"").c_str()), 0)
        << "nothing but the model in the folder";
}

TEST_F(ArmnnBenchmark, WithoutAModelFails)
{
    plugin().nn_server_model_unload(server);
    EXPECT_EQ(plugin().nn_server_model_benchmark(server, 5, 0, -1, 0, 0, 0, "output", nullptr), 1);
}

}  // namespace
}  // namespace armnn_test
