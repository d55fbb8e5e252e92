// The plug-in's record, model load statuses and faults, unload and release,
// the benchmark and its small helpers, through the built plug-in.
#include "onnx_test_support.h"

#include <sys/socket.h>

#include <cmath>

using namespace onnx_test;
using onnxtest::Attribute;
using onnxtest::Node;

namespace {

class OnnxServer : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Plugin::get().ok()) << ONNX_PLUGIN_PATH; }
    TempDir dir;
};

TEST_F(OnnxServer, RecordNamesTheEngineAndTheLibraryVersion)
{
    const nn_plugin& p = engine();
    EXPECT_STREQ(p.name, "ONNX");
    EXPECT_STREQ(Plugin::get().engine_name, "ONNX");
    EXPECT_STREQ(p.version, OrtGetApiBase()->GetVersionString());
    EXPECT_STREQ(p.version, "1.21.0");
    Server server;
    ASSERT_TRUE(server.s);
    EXPECT_EQ(p.nn_server_user_ops(server, "lib.so:fn"), 5);
    EXPECT_EQ(p.nn_server_options(nullptr, nullptr), 12);
    EXPECT_EQ(p.nn_server_model_validated(server), 0);
}

// Left queued, a datagram would keep the serving loop's select ready.
TEST_F(OnnxServer, UnixHandlerDropsTheDatagram)
{
    Server server;
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
    ASSERT_EQ(send(fds[1], "ping", 4, 0), 4);
    testing::internal::CaptureStderr();
    engine().nn_server_unix_handler(server, fds[0]);
    testing::internal::GetCapturedStderr();
    char buf[8];
    EXPECT_EQ(recv(fds[0], buf, sizeof buf, MSG_DONTWAIT), -1) << "the datagram is still queued";
    close(fds[0]);
    close(fds[1]);
}

TEST_F(OnnxServer, OptionsAreKept)
{
    Server server(2);
    EXPECT_EQ(server->provider, 2);
    EXPECT_EQ(server.options(3, 0, 1), 0);
    EXPECT_EQ(server->threads, 3);
    EXPECT_EQ(server->provider, 0);
    EXPECT_EQ(server->opt_level, 1);
}

// ---- load statuses -------------------------------------------------------------------

// a + b -> y: two inputs.
Graph two_input_model()
{
    Graph g;
    g.nodes.push_back(Node{"Add", {"a", "b"}, {"y"}, {}});
    g.inputs = {Value{"a", onnxtest::FLOAT, {1, 4}}, Value{"b", onnxtest::FLOAT, {1, 4}}};
    g.outputs = {Value{"y", onnxtest::FLOAT, {1, 4}}};
    return g;
}

// BFLOAT16 x [1,3] -> Cast -> FLOAT y.
Graph bfloat16_model()
{
    return onnxtest::single_node("Cast", Value{"x", onnxtest::BFLOAT16, {1, 3}}, Value{"y", onnxtest::FLOAT, {1, 3}},
                                 {Attribute::of_int("to", onnxtest::FLOAT)});
}

// x [1,3] -> SequenceConstruct -> a sequence: the first output is no tensor.
Graph sequence_model()
{
    Value out{"s", onnxtest::FLOAT, {1, 3}};
    out.sequence = true;
    return onnxtest::single_node("SequenceConstruct", Value{"x", onnxtest::FLOAT, {1, 3}}, out);
}

// Range(0, 10, delta = x): the load's run over a zero input fails.
Graph zero_delta_model()
{
    Graph g;
    g.initializers.push_back(onnxtest::Initializer::of_floats("start", {}, {0.0f}));
    g.initializers.push_back(onnxtest::Initializer::of_floats("limit", {}, {10.0f}));
    g.nodes.push_back(Node{"Range", {"start", "limit", "delta"}, {"y"}, {}});
    g.inputs.push_back(Value{"delta", onnxtest::FLOAT, {}});
    g.outputs.push_back(Value{"y", onnxtest::FLOAT, {onnxtest::kDynamic}});
    return g;
}

struct LoadCase {
    const char* what;
    int expected;
    const char* stderr_text; // expected in stderr, or nullptr
};

TEST_F(OnnxServer, LoadStatuses)
{
    std::string good = dir.model("gap", gap_model());
    std::string junk = dir.write("junk.onnx", std::string("\x08\x07\x3a\xff\xff\xff\xff\x0f junk", 14));
    std::string two = dir.model("two", two_input_model());
    std::string text = dir.model("string", identity_model(onnxtest::STRING, {1, 3}));
    std::string bf16 = dir.model("bf16", bfloat16_model());
    std::string complex = dir.model("complex", identity_model(onnxtest::COMPLEX128, {1, 3}));
    // An input shape from the file that no buffer should be made for, and
    // one whose element count does not fit 64 bits.
    std::string huge = dir.model("huge", identity_model(onnxtest::FLOAT, {1, 100000, 100000, 3}));
    std::string wraps = dir.model("wraps", identity_model(onnxtest::FLOAT, {1, 1ll << 40, 1ll << 40, 1ll << 40}));
    struct Row {
        LoadCase c;
        std::string path;
    };
    const Row rows[] = {
        {{"good model", 0, nullptr}, good},
        {{"missing file", 18, "Load model from"}, dir.file("absent.onnx")},
        {{"junk bytes", 18, nullptr}, junk},
        {{"two inputs", 17, "Multiple inputs currently unsupported\n"}, two},
        {{"STRING input", 18, nullptr}, text},
        {{"BFLOAT16 input", 0, nullptr}, bf16},
        {{"first output not a tensor", 1, "Failed to verify output tensor\n"}, dir.model("seq", sequence_model())},
        {{"run fails on the zero input", 1, "can not be zero"}, dir.model("range", zero_delta_model())},
        {{"input past the size limit", 3, "larger than"}, huge},
        {{"input element count past 64 bits", 3, "larger than"}, wraps},
    };
    for (const Row& row : rows) {
        Server server;
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        int status = server.load(row.path);
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, row.c.expected) << row.c.what << "\n" << err;
        EXPECT_EQ(engine().nn_server_model_validated(server), row.c.expected == 0 ? 1 : 0) << row.c.what;
        if (row.c.expected == 0) {
            EXPECT_NE(out.find("Loaded and verified ONNX model."), std::string::npos) << row.c.what;
        } else {
            EXPECT_FALSE(err.empty()) << row.c.what << ": the cause is printed";
            // Nothing of the failed load is left behind.
            EXPECT_EQ(server->session, nullptr) << row.c.what;
            EXPECT_EQ(server->options, nullptr) << row.c.what;
            EXPECT_EQ(server->input, nullptr) << row.c.what;
        }
        if (row.c.stderr_text) {
            EXPECT_NE(err.find(row.c.stderr_text), std::string::npos) << row.c.what << "\n" << err;
        }
    }
    // COMPLEX128 gets 16 bytes an element: whatever the library then says of
    // the type, the input value is never made over too small a buffer.
    Server server;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    int status = server.load(complex);
    testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("not enough space"), std::string::npos) << err;
    if (status == 0)
        EXPECT_EQ(server->input_size, 3u * 16u);
    else
        EXPECT_FALSE(err.empty());
}

TEST_F(OnnxServer, Bfloat16InputGetsTwoBytesAnElement)
{
    Server server;
    ASSERT_EQ(server.load(dir.model("bf16", bfloat16_model())), 0);
    EXPECT_EQ(server->input_size, 6u);
}

TEST_F(OnnxServer, DynamicBatchGivesAnInputOfBatchOne)
{
    Server server;
    ASSERT_EQ(server.load(dir.model("gapn", gap_model({onnxtest::kDynamic, 3, 8, 8}))), 0);
    const OrtApi* api = server->api;
    OrtTensorTypeAndShapeInfo* info = nullptr;
    ASSERT_EQ(api->GetTensorTypeAndShape(server->input, &info), nullptr);
    size_t rank = 0;
    ASSERT_EQ(api->GetDimensionsCount(info, &rank), nullptr);
    ASSERT_EQ(rank, 4u);
    int64_t dims[4];
    ASSERT_EQ(api->GetDimensions(info, dims, 4), nullptr);
    api->ReleaseTensorTypeAndShapeInfo(info);
    EXPECT_EQ(dims[0], 1);
    EXPECT_EQ(dims[1], 3);
    EXPECT_EQ(dims[2], 8);
    EXPECT_EQ(dims[3], 8);
    EXPECT_EQ(server->input_size, 3u * 8u * 8u * 4u);
}

TEST_F(OnnxServer, LoadAfterLoadAndAfterAFailedLoadStartsClean)
{
    Server server;
    std::string good = dir.model("gap", gap_model());
    std::string two = dir.model("two", two_input_model());
    ASSERT_EQ(server.load(good), 0);
    ASSERT_EQ(server.load(good), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(server.load(two), 17);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(engine().nn_server_model_validated(server), 0);
    ASSERT_EQ(server.load(good), 0);
    EXPECT_EQ(server->output_count, 1u);
    EXPECT_STREQ(server->output_names[0], "y");
    EXPECT_STREQ(server->input_names[0], "x");
    engine().nn_server_model_unload(server);
    EXPECT_EQ(engine().nn_server_model_validated(server), 0);
    EXPECT_EQ(server->session, nullptr);
    EXPECT_EQ(server->output_names, nullptr);
    EXPECT_EQ(server->input_names[0], nullptr);
    engine().nn_server_model_unload(server); // twice is harmless
}

// ---- the API table, recorded ------------------------------------------------------------

struct Recorded {
    int threads = -1;
    int level = -1;
    bool fail_options = false;
    bool fail_allocator = false;
    bool fail_settings = false;
    bool fail_memory_info = false;
    ApiCopy* copy = nullptr;
};
Recorded rec;

OrtStatus* ORT_API_CALL fail_status(const char* text)
{
    return rec.copy->real->CreateStatus(ORT_FAIL, text);
}
OrtStatus* ORT_API_CALL set_threads(OrtSessionOptions* o, int n) NO_EXCEPTION
{
    rec.threads = n;
    return rec.fail_settings ? fail_status("threads refused") : rec.copy->real->SetIntraOpNumThreads(o, n);
}
OrtStatus* ORT_API_CALL set_level(OrtSessionOptions* o, GraphOptimizationLevel l) NO_EXCEPTION
{
    rec.level = (int)l;
    return rec.fail_settings ? fail_status("level refused") : rec.copy->real->SetSessionGraphOptimizationLevel(o, l);
}
OrtStatus* ORT_API_CALL create_options(OrtSessionOptions** o) NO_EXCEPTION
{
    return rec.fail_options ? fail_status("no options") : rec.copy->real->CreateSessionOptions(o);
}
OrtStatus* ORT_API_CALL get_allocator(OrtAllocator** a) NO_EXCEPTION
{
    return rec.fail_allocator ? fail_status("no allocator") : rec.copy->real->GetAllocatorWithDefaultOptions(a);
}
OrtStatus* ORT_API_CALL memory_info(OrtAllocatorType t, OrtMemType m, OrtMemoryInfo** out) NO_EXCEPTION
{
    return rec.fail_memory_info ? fail_status("no memory info") : rec.copy->real->CreateCpuMemoryInfo(t, m, out);
}

class OnnxRecorded : public OnnxServer {
protected:
    void SetUp() override
    {
        OnnxServer::SetUp();
        rec = Recorded();
        copy_ = std::make_unique<ApiCopy>(server->api);
        rec.copy = copy_.get();
        copy_->table.SetIntraOpNumThreads = set_threads;
        copy_->table.SetSessionGraphOptimizationLevel = set_level;
        copy_->table.CreateSessionOptions = create_options;
        copy_->table.GetAllocatorWithDefaultOptions = get_allocator;
        copy_->table.CreateCpuMemoryInfo = memory_info;
        copy_->install(server);
        model = dir.model("gap", gap_model());
    }
    void TearDown() override { server->api = copy_->real; }
    Server server;
    std::unique_ptr<ApiCopy> copy_;
    std::string model;
};

TEST_F(OnnxRecorded, OptimisationLevelsAndThreads)
{
    const int table[][2] = {{0, 0}, {1, 1}, {2, 2}, {3, 99}, {-1, 99}};
    for (auto& row : table) {
        ASSERT_EQ(server.options(row[0] + 2, 0, row[0]), 0);
        ASSERT_EQ(server.load(model), 0) << row[0];
        EXPECT_EQ(rec.level, row[1]) << "opt level " << row[0];
        EXPECT_EQ(rec.threads, row[0] + 2);
    }
}

TEST_F(OnnxRecorded, RefusedSettingsArePrintedAndTheLoadGoesOn)
{
    rec.fail_settings = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(server.load(model), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("threads refused\n"), std::string::npos) << err;
    EXPECT_NE(err.find("level refused\n"), std::string::npos) << err;
}

TEST_F(OnnxRecorded, FailingStepsGiveTheirStatus)
{
    struct Row {
        bool Recorded::*flag;
        int expected;
        const char* text;
    };
    const Row rows[] = {
        {&Recorded::fail_options, 1, "no options\n"},
        {&Recorded::fail_allocator, 1, "no allocator\n"},
        {&Recorded::fail_memory_info, 18, "no memory info\n"},
    };
    for (const Row& row : rows) {
        rec.*row.flag = true;
        testing::internal::CaptureStderr();
        EXPECT_EQ(server.load(model), row.expected) << row.text;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(row.text), std::string::npos) << err;
        EXPECT_EQ(engine().nn_server_model_validated(server), 0);
        rec.*row.flag = false;
        EXPECT_EQ(server.load(model), 0) << "after " << row.text;
    }
}

// ---- the benchmark ---------------------------------------------------------------------------

TEST_F(OnnxServer, BenchmarkPrintsNamesAndTheAverage)
{
    Graph g = gap_model();
    g.nodes.push_back(Node{"Neg", {"x"}, {"minus"}, {}});
    g.outputs.push_back(Value{"minus", onnxtest::FLOAT, {1, 3, 5, 5}});
    Server server;
    ASSERT_EQ(server.load(dir.model("two_out", g)), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(engine().nn_server_model_benchmark(server, 5, 0, -1, 1, 0, 0, nullptr, nullptr), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Input name=x \n"), std::string::npos) << out;
    EXPECT_NE(out.find("Number of outputs = 2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Output 0 : name=y\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Output 1 : name=minus\n"), std::string::npos) << out;
    size_t at = out.find("\nAverage model run time: ");
    ASSERT_NE(at, std::string::npos) << out;
    double ms = atof(out.c_str() + at + 25);
    EXPECT_GT(ms, 0.0);
    EXPECT_LT(ms, 1000.0);
    // Quiet without verbose: only the average.
    testing::internal::CaptureStdout();
    EXPECT_EQ(engine().nn_server_model_benchmark(server, 1, 0, -1, 0, 0, 0, nullptr, nullptr), 0);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Input name"), std::string::npos) << out;
    EXPECT_NE(out.find("Average model run time"), std::string::npos) << out;
}

TEST_F(OnnxServer, BenchmarkWhoseWarmUpFailsReturnsOne)
{
    Server server;
    testing::internal::CaptureStdout();
    ASSERT_EQ(server.load(dir.model("gather", gather_model())), 0);
    testing::internal::GetCapturedStdout();
    const int64_t past = 7;
    memcpy(server->input_buffer, &past, sizeof past);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(engine().nn_server_model_benchmark(server, 5, 0, -1, 0, 0, 0, nullptr, nullptr), 1);
    std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Failed to run model"), std::string::npos) << out;
    EXPECT_EQ(out.find("Average"), std::string::npos) << out;
    EXPECT_FALSE(err.empty());
}

TEST_F(OnnxServer, BenchmarkWithoutAModelRefuses)
{
    Server server;
    EXPECT_NE(engine().nn_server_model_benchmark(server, 5, 0, -1, 1, 0, 0, nullptr, nullptr), 0);
}

// ---- helpers -------------------------------------------------------------------------------------

TEST_F(OnnxServer, TypeNamesAndElementSizes)
{
    const Plugin& p = Plugin::get();
    const std::pair<int, const char*> names[] = {
        {0, "NONE"},       {1, "FLOAT32"},   {2, "UINT8"},     {3, "INT8"},      {4, "(invalid)"},
        {5, "INT16"},      {6, "INT32"},     {7, "INT64"},     {8, "STRING"},    {9, "BOOL"},
        {10, "FLOAT16"},   {11, "(invalid)"}, {12, "(invalid)"}, {13, "(invalid)"}, {14, "COMPLEX64"},
        {15, "(invalid)"}, {16, "(invalid)"}, {99, "(invalid)"}, {-1, "(invalid)"},
    };
    for (auto& n : names)
        EXPECT_STREQ(p.type_name((ONNXTensorElementDataType)n.first), n.second) << n.first;
    // 1 FLOAT .. 16 BFLOAT16, and an unknown code.
    const size_t sizes[][2] = {{1, 4},  {2, 1},  {3, 1},  {4, 2},  {5, 2},  {6, 4},  {7, 8},  {8, 1}, {9, 1},
                               {10, 2}, {11, 8}, {12, 4}, {13, 8}, {14, 8}, {15, 16}, {16, 2}, {0, 1}, {77, 1}};
    for (auto& s : sizes)
        EXPECT_EQ(p.element_size((ONNXTensorElementDataType)s[0]), s[1]) << s[0];
}

TEST_F(OnnxServer, CheckStatusPrintsAndReleases)
{
    Server server;
    const OrtApi* api = server->api;
    EXPECT_EQ(Plugin::get().check_status(nullptr, api), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Plugin::get().check_status(api->CreateStatus(ORT_FAIL, "broken"), api), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "broken\n");
}

TEST_F(OnnxServer, ModelLabelTable)
{
    Server server;
    nn_server_common& common = server->common;
    const char* texts[] = {"zero", "one", "two"};
    for (int i = 0; i < 3; ++i)
        common.labels[i] = strdup(texts[i]);
    common.label_count = 3;
    const float f[] = {0.25f, 0.75f, 0.75f, -1.0f};
    const int8_t s8[] = {-100, 64, 3};
    const uint8_t u8[] = {10, 20, 200, 199};
    const int32_t i32[] = {5, 9, 7};
    struct Row {
        const char* what;
        const void* data;
        int type;
        size_t count;
        int index;
        double score;
        const char* label; // nullptr: left as it was
    };
    const Row rows[] = {
        {"float, first of equal maxima", f, 1, 4, 1, 0.75, "one"},
        {"int8: max / 256 + 0.5", s8, 3, 3, 1, 64.0 / 256.0 + 0.5, "one"},
        {"uint8: max / 256, past the labels", u8, 2, 4, 2, 200.0 / 256.0, "two"},
        {"uint8 from the second byte", u8 + 1, 2, 3, 1, 200.0 / 256.0, "one"},
        {"int32: other types give 0", i32, 6, 3, 0, 0.0, "zero"},
        {"no elements", f, 1, 0, 0, 0.0, "zero"},
    };
    for (const Row& r : rows) {
        const char* label = "untouched";
        int index = -1;
        float score = Plugin::get().model_label(server, r.data, &label, r.type, r.count, &index);
        EXPECT_EQ(index, r.index) << r.what;
        EXPECT_NEAR(score, r.score, 1e-6) << r.what;
        EXPECT_STREQ(label, r.label ? r.label : "untouched") << r.what;
    }
    // An index at or past the label count leaves the label alone.
    const float late[] = {0.0f, 0.0f, 0.0f, 5.0f};
    const char* label = "untouched";
    int index = -1;
    Plugin::get().model_label(server, late, &label, 1, 4, &index);
    EXPECT_EQ(index, 3);
    EXPECT_STREQ(label, "untouched");
}

// ---- files written by ONNX's own tooling -------------------------------------------------------------

std::string testdata(const char* name)
{
    return std::string(ONNX_TESTDATA_DIR) + "/node/" + name + "/model.onnx";
}

TEST_F(OnnxServer, OnnxTestDataModels)
{
    if (access(testdata("test_globalaveragepool").c_str(), R_OK) != 0)
        GTEST_SKIP() << "libonnx-testdata is not installed";
    struct Row {
        const char* name;
        int expected;
        size_t input_bytes; // checked when loaded
        size_t outputs;
    };
    const Row rows[] = {
        {"test_globalaveragepool", 0, 1 * 3 * 5 * 5 * 4, 1},
        {"test_maxpool_2d_uint8", 0, 1 * 1 * 5 * 5, 1},
        {"test_maxpool_with_argmax_2d_precomputed_strides", 0, 1 * 1 * 5 * 5 * 4, 2},
        {"test_add", 17, 0, 0},
        {"test_celu", 0, 3 * 3 * 3 * 1 * 4, 1},
        {"test_cast_BFLOAT16_to_FLOAT", 0, 3 * 4 * 2, 1},
        {"test_cast_STRING_to_FLOAT", 18, 0, 0},
    };
    for (const Row& r : rows) {
        Server server;
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        int status = server.load(testdata(r.name));
        testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, r.expected) << r.name << "\n" << err;
        if (status == 0) {
            EXPECT_EQ(server->input_size, r.input_bytes) << r.name;
            EXPECT_EQ(server->output_count, r.outputs) << r.name;
        }
    }
}

} // namespace
