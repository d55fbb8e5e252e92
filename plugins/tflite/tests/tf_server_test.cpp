// Server record, options, the load sequence over the binding, type names
// and the label reply's top-1.
#include <climits>
#include <cmath>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

#include "tf_test_util.h"

using namespace tftest;
using tfplugin::TensorTypeName;

namespace {

TEST(TfPlugin, RecordNamesAndEntryPoints)
{
    nn_plugin record;
    std::memset(&record, 0, sizeof record);
    ASSERT_EQ(nn_plugin_init(&record), 0);
    EXPECT_STREQ(record.name, "TensorFlow Lite");
    EXPECT_STREQ(record.version, "2.4.1");
    EXPECT_EQ(record.server, nullptr);
    EXPECT_EQ(record.library, nullptr);
    EXPECT_EQ(record.nn_plugin_init, nullptr);
    EXPECT_EQ(record.nn_server_model_load, &nn_server_model_load);
    EXPECT_EQ(record.nn_server_model_benchmark, &nn_server_model_benchmark);
    EXPECT_EQ(record.nn_server_http_handler, &nn_server_http_handler);
    Server s;
    EXPECT_EQ(nn_server_user_ops(s, "lib.so:fn"), 5);
    // No datagram interface: what arrives is dropped, so the serving loop's
    // select does not find the socket ready again and again.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
    ASSERT_EQ(send(fds[1], "x", 1, 0), 1);
    testing::internal::CaptureStderr();
    nn_server_unix_handler(s, fds[0]);
    testing::internal::GetCapturedStderr();
    char byte = 0;
    EXPECT_EQ(recv(fds[0], &byte, 1, MSG_DONTWAIT), -1) << "the datagram is still queued";
    close(fds[0]);
    close(fds[1]);
}

TEST(TfServer, InitAndOptions)
{
    Server cpu(0);
    EXPECT_FALSE(cpu.s->delegate);
    EXPECT_EQ(cpu.s->model_bytes.max_size, 64u << 20);
    EXPECT_EQ(cpu.s->common.label_count, 0);
    EXPECT_STREQ(nn_server_input_name(cpu), "input");
    EXPECT_STREQ(nn_server_output_name(cpu), "output");
    EXPECT_EQ(cpu.s->interpreter, nullptr);
    EXPECT_EQ(nn_server_model_validated(cpu), 0);
    Server npu(1);
    EXPECT_TRUE(npu.s->delegate);

    EXPECT_EQ(nn_server_options(nullptr, nullptr), 12);
    nn_plugin_options options = {3, 2, 1};
    EXPECT_EQ(nn_server_options(cpu, &options), 0);
    EXPECT_EQ(cpu.s->threads, 3);
    EXPECT_TRUE(cpu.s->delegate);
    options = {1, 0, 3};
    EXPECT_EQ(nn_server_options(cpu, &options), 0);
    EXPECT_FALSE(cpu.s->delegate);
    // What a load then asks of the binding.
    EXPECT_EQ(cpu.load(pool_graph(), "/models/m.tflite"), 0);
    EXPECT_STREQ(binding().request.path, "/models/m.tflite");
    EXPECT_EQ(binding().request.bytes, nullptr);
    EXPECT_EQ(binding().request.threads, 1);
    EXPECT_FALSE(binding().request.delegate);
}

TEST(TfLoad, SuccessInvokesOnceUnderANewProfiler)
{
    Server s;
    ASSERT_EQ(s.load(pool_graph()), 0) << s.load_err;
    EXPECT_EQ(s.load_out, "Model loaded and validated\n");
    EXPECT_EQ(s.load_err, "");
    EXPECT_EQ(nn_server_model_validated(s), 1);
    EXPECT_EQ(binding().state->invokes, 1);
    EXPECT_EQ(binding().state->profilers, 1);
    EXPECT_EQ(binding().verifies, 0) << "a file is the binding's to check";
    EXPECT_EQ(s.s->op_count, 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(s.s->op_time[i], 0);
}

TEST(TfLoad, FailuresLeaveNoModel)
{
    struct Case {
        const char* name;
        int open_status;
        bool profiler_fails;
        int failing_invoke;  // -1 none
        int status;
        const char* err;
    } cases[] = {
        {"no model", 21, false, -1, 21, ""},
        {"no interpreter", 20, false, -1, 20, ""},
        {"tensors not allocated", 3, false, -1, 3, ""},
        {"no profiler", 0, true, -1, 3, ""},
        {"first run fails", 0, false, 0, 1, "Failed to invoke tflite!\n"},
    };
    for (const Case& c : cases) {
        Server s;
        binding().open_status = c.open_status;
        FakeGraph g = pool_graph();
        g.profiler_fails = c.profiler_fails;
        int failing = c.failing_invoke;
        g.invoke_ok = [failing](int n) { return n != failing; };
        EXPECT_EQ(s.load(g), c.status) << c.name;
        EXPECT_EQ(s.load_err, c.err) << c.name;
        EXPECT_EQ(s.load_out, "") << c.name;
        EXPECT_EQ(nn_server_model_validated(s), 0) << c.name;
        EXPECT_EQ(s.s->interpreter, nullptr) << c.name;
        if (c.open_status == 0) {
            EXPECT_EQ(binding().state->released, 1) << c.name << ": the interpreter is not kept";
        }
    }
}

TEST(TfLoad, NewModelReplacesTheOldEvenWhenItFails)
{
    Server s;
    ASSERT_EQ(s.load(pool_graph()), 0);
    std::shared_ptr<FakeState> first = binding().state;
    binding().state = std::make_shared<FakeState>();
    ASSERT_EQ(s.load(pool_graph()), 0);
    EXPECT_EQ(first->released, 1);
    binding().open_status = 21;
    EXPECT_EQ(s.load(pool_graph()), 21);
    EXPECT_EQ(binding().state->released, 1);
    EXPECT_EQ(nn_server_model_validated(s), 0);
    EXPECT_EQ(nn_server_model_benchmark(s, 1, 0, -1, 0, 0, 0, "output", nullptr), 21);
}

TEST(TfLoad, UploadedBytesAreVerifiedBeforeAnythingIsBuilt)
{
    Server s;
    EXPECT_EQ(nn_server_model_load(s, nullptr, 0), 21) << "nothing uploaded";
    EXPECT_EQ(binding().verifies, 0);
    const std::string bytes = "TFL3 model bytes";
    uint8_t* model = plugin_bytes_reserve(&s.s->model_bytes, bytes.size());
    ASSERT_NE(model, nullptr);
    memcpy(model, bytes.data(), bytes.size());
    s.s->model_bytes.size = bytes.size();

    binding().bytes_valid = false;
    binding().graph = pool_graph();
    EXPECT_EQ(nn_server_model_load(s, reinterpret_cast<const char*>(model), 0), 21);
    EXPECT_EQ(binding().verifies, 1);
    EXPECT_EQ(binding().opens, 0);
    EXPECT_EQ(nn_server_model_validated(s), 0);
    // Only the upload's own bytes (or NULL for them) can be loaded.
    EXPECT_EQ(nn_server_model_load(s, bytes.c_str(), 0), 6);

    binding().bytes_valid = true;
    testing::internal::CaptureStdout();
    EXPECT_EQ(nn_server_model_load(s, nullptr, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Model loaded and validated\n");
    EXPECT_EQ(binding().request.path, nullptr);
    EXPECT_EQ(binding().request.bytes, model);
    EXPECT_EQ(binding().request_bytes, bytes);
    // An uploaded model gets its per-node times and profiler too.
    EXPECT_EQ(s.s->op_count, 3u);
    EXPECT_NE(s.s->op_time, nullptr);
    EXPECT_EQ(binding().state->profilers, 1);
}

TEST(TfLoad, UnloadTakesModelAndLabels)
{
    Server s;
    ASSERT_EQ(s.load(pool_graph()), 0);
    s.s->common.labels[0] = strdup("cat");
    s.s->common.label_count = 1;
    nn_server_model_unload(s);
    EXPECT_EQ(nn_server_model_validated(s), 0);
    EXPECT_EQ(s.s->interpreter, nullptr);
    EXPECT_EQ(s.s->common.label_count, 0);
    EXPECT_EQ(s.s->common.labels[0], nullptr);
    EXPECT_EQ(binding().state->released, 1);
    nn_server_model_unload(s);  // twice is harmless
}

TEST(TfNames, TensorTypeNames)
{
    const char* expected[] = {"NONE",  "FLOAT32", "INT32",     "UINT8", "INT64",   "STRING",
                              "BOOL",  "INT16",   "COMPLEX64", "INT8",  "FLOAT16", "(invalid)"};
    for (int code = 0; code <= 11; ++code)
        EXPECT_STREQ(TensorTypeName(code), expected[code]) << code;
    EXPECT_STREQ(TensorTypeName(-1), "(invalid)");
    EXPECT_STREQ(TensorTypeName(INT_MAX), "(invalid)");
}

TEST(TfLabel, ScoreAndIndexPerType)
{
    const float floats[] = {0.25f, 0.75f, -1.0f, 0.75f};
    const int8_t int8s[] = {-128, 64, 12, 64};
    const uint8_t uint8s[] = {3, 200, 255, 255};
    const int32_t int32s[] = {1, 99, 5};
    struct Case {
        const char* name;
        const void* data;
        int type;
        size_t count;
        int index;
        float score;
    } cases[] = {
        {"float32: first of equal maxima", floats, tfplugin::kTypeFloat32, 4, 1, 0.75f},
        {"float32: one value", floats, tfplugin::kTypeFloat32, 1, 0, 0.25f},
        {"int8: 64 of 128", int8s, tfplugin::kTypeInt8, 4, 1, 0.5f},
        {"uint8: 255 of 255", uint8s, tfplugin::kTypeUInt8, 4, 2, 1.0f},
        {"int32: not scored", int32s, tfplugin::kTypeInt32, 3, 0, 0.0f},
        {"no values", floats, tfplugin::kTypeFloat32, 0, 0, 0.0f},
    };
    Server s;
    for (const Case& c : cases) {
        const char* label = "untouched";
        int index = -1;
        float score = tfplugin::tf_model_label(s, c.data, &label, c.type, c.count, &index);
        EXPECT_EQ(index, c.index) << c.name;
        EXPECT_FLOAT_EQ(score, c.score) << c.name;
        EXPECT_EQ(label, nullptr) << c.name << ": no labels loaded";
    }
}

TEST(TfLabel, TextOnlyBelowTheLabelCount)
{
    Server s;
    s.s->common.labels[0] = strdup("zero");
    s.s->common.labels[1] = strdup("one");
    s.s->common.label_count = 2;
    const uint8_t second[] = {1, 9, 3};
    const uint8_t third[] = {1, 2, 3};
    const char* label = nullptr;
    int index = -1;
    tfplugin::tf_model_label(s, second, &label, tfplugin::kTypeUInt8, 3, &index);
    EXPECT_EQ(index, 1);
    EXPECT_STREQ(label, "one");
    tfplugin::tf_model_label(s, third, &label, tfplugin::kTypeUInt8, 3, &index);
    EXPECT_EQ(index, 2);
    EXPECT_EQ(label, nullptr);
}

}  // namespace
