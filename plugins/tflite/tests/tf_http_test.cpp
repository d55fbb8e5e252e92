// The HTTP handler over the double: descriptions, upload, inference query,
// inputs, runs and the three reply forms, and the picture loader.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "multipart_body.h"
#include "plugin_labels.h"
#include "tf_http_call.h"
#include "tf_test_util.h"

using namespace tftest;
using namespace tfhttp;
using multipart_body::multipart;
using multipart_body::Part;

namespace {


// The pool graph with its output a UINT8 [1,3] that each run sets to "abc",
// and the events of pool_events.
FakeGraph served_graph()
{
    FakeGraph g = pool_graph();
    g.tensors[5] = {"output", tfplugin::kTypeUInt8, {1, 3}, zeros(3)};
    g.compute = [](std::vector<FakeTensor>& t) { std::memcpy(t[5].data.data(), "abc", 3); };
    g.events = pool_events;
    return g;
}

struct Served : Server {
    explicit Served(FakeGraph g = served_graph(), int compute = 0) : Server(compute)
    {
        EXPECT_EQ(load(std::move(g)), 0);
    }
};

// A 2x2 binary PPM: (10,20,30) (40,50,60) / (70,80,90) (200,210,220).
const std::string kPixels = {10, 20, 30, 40, 50, 60, 70, 80, 90, char(200), char(210), char(220)};
const std::string kPpm = "P6\n2 2\n255\n" + kPixels;

TEST(TfHttpDispatch, MethodsAndNoModel)
{
    Server s;
    EXPECT_EQ(call(s, "OPTIONS", "/x").status, 204);
    Reply other = call(s, "DELETE", "/x");
    EXPECT_EQ(other.status, 404);
    EXPECT_EQ(other.body, "Not Found");
    Reply none = post(s, "/v1/model");
    EXPECT_EQ(none.status, 428);
    EXPECT_EQ(none.body, "No Model Loaded");
    Reply description = call(s, "GET", "/v1/model");
    EXPECT_EQ(description.status, 428);
    EXPECT_EQ(description.body, "{\"status\": \"no model loaded\"}");
}

TEST(TfHttpDescribe, EngineNamesItsDelegate)
{
    struct Case {
        int compute;
        const char* delegate;
    } cases[] = {{0, "\"Delegate\":\"CPU\""}, {1, "\"Delegate\":\"NNAPI(OVX)\""}, {3, "\"Delegate\":\"NNAPI(OVX)\""}};
    for (const Case& c : cases) {
        Server s(c.compute);
        Reply r = call(s, "GET", "/");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.header("Content-Type"), "application/json");
        EXPECT_EQ(r.body.rfind("{\"engine\":\"TensorFlow Lite\",\"version\":\"2.4.1\",\"batch_size\":1,", 0), 0u)
            << r.body;
        EXPECT_TRUE(has(r.body, "\"device\":{\"api\":\"\",\"id\":\"cpu:0\"")) << r.body;
        EXPECT_TRUE(has(r.body, std::string("\"model\":null,") + c.delegate + ",\"model_limits\":{")) << r.body;
        EXPECT_TRUE(has(r.body, "\"max_model_size\":67108864,")) << r.body;
    }
    Served s;
    Reply r = call(s, "GET", "/");
    EXPECT_TRUE(has(r.body, "\"model\":{\"uuid\":\"\",\"name\":\"\",\"size\":0,\"memory_size\":15,\"layer_count\":3,"
                            "\"label_count\":0,\"labels\":[]},\"Delegate\":\"CPU\","))
        << r.body;
}

TEST(TfHttpDescribe, ModelLayersAreNodesWithAverageTimesInNanoseconds)
{
    Served s;
    Reply before = call(s, "GET", "/v1/model");
    EXPECT_EQ(before.status, 200);
    EXPECT_EQ(before.body.rfind("{\"model_name\":\"\",\"uuid\":\"\",\"size\":0,\"memory_size\":15,\"inputs\":[{\"index\":0,"
                                "\"name\":\"input\",\"datatype\":\"FLOAT32\",\"scale\":0,\"zero_point\":0,"
                                "\"shape\":[1,4,4,1]}],\"outputs\":[{\"index\":5,\"name\":\"output\",\"datatype\":\"UINT8\","
                                "\"scale\":0,\"zero_point\":0,\"shape\":[1,3]}],\"layer_count\":3,",
                                0),
              0u)
        << before.body;
    EXPECT_TRUE(has(before.body, "\"layers\":[{\"name\":\"conv\",\"type\":\"CONV_2D\",\"avg_timing\":0,\"tensor\":{"
                                 "\"datatype\":\"FLOAT32\",\"timing\":0,\"io_timing\":0,\"shape\":[1,3,3,1]}},"))
        << before.body;
    // Two timed runs (after two warm-ups): 10 us and 3 us a run.
    EXPECT_EQ(post(s, "/v1/model?run=2").status, 200);
    Reply after = call(s, "GET", "/v1/model");
    EXPECT_TRUE(has(after.body, "{\"name\":\"conv\",\"type\":\"CONV_2D\",\"avg_timing\":10000,")) << after.body;
    EXPECT_TRUE(has(after.body, "{\"name\":\"pool\",\"type\":\"MAX_POOL_2D\",\"avg_timing\":3000,")) << after.body;
    EXPECT_TRUE(has(after.body, "{\"name\":\"output\",\"type\":\"RESHAPE\",\"avg_timing\":0,\"tensor\":{"
                                "\"datatype\":\"UINT8\",\"timing\":0,\"io_timing\":0,\"shape\":[1,3]}}]"))
        << after.body;
    Reply download = call(s, "GET", "/v1/model", {{"Accept", "application/vnd.kestrune.kfm"}});
    EXPECT_EQ(download.status, 200);
    EXPECT_EQ(download.body, "TFL3-allocation");
}

std::string put_body(const std::string& model)
{
    return multipart({{"block_content", model, "m.tflite", "application/octet-stream"}});
}

TEST(TfHttpUpload, LoadsFromTheUploadedBytes)
{
    Server s;
    binding().graph = served_graph();
    testing::internal::CaptureStdout();
    Reply r = call(s, "PUT", "/v1/model", {}, put_body("TFL3 uploaded bytes"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Model loaded and validated\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"reply\": \"success\"}");
    EXPECT_EQ(binding().verifies, 1);
    EXPECT_EQ(binding().request.path, nullptr);
    EXPECT_EQ(binding().request_bytes, "TFL3 uploaded bytes");
    EXPECT_TRUE(has(call(s, "GET", "/v1/model").body, "\"size\":19,")) << "the uploaded size";
    // The uploaded model has its per-node times and profiler too.
    EXPECT_EQ(post(s, "/v1/model?run=1").status, 200);
    EXPECT_EQ(s.s->op_time[0], 10000);
}

TEST(TfHttpUpload, CorruptBytesLeaveNoModel)
{
    Served s;
    binding().bytes_valid = false;
    testing::internal::CaptureStderr();
    Reply r = call(s, "PUT", "/v1/model", {}, put_body("not a model"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "v1_put failed to load model\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_EQ(r.body, "{\"error\": \"model load error\"}");
    EXPECT_EQ(binding().opens, 1) << "nothing was built on the bytes";
    EXPECT_EQ(binding().state->released, 1) << "the old model went";
    EXPECT_EQ(post(s, "/v1/model?run=1").status, 428);
    // A failing build of good bytes answers the same.
    binding().bytes_valid = true;
    binding().open_status = 20;
    testing::internal::CaptureStderr();
    r = call(s, "PUT", "/v1/model", {}, put_body("TFL3"));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.body, "{\"error\": \"model load error\"}");
    EXPECT_EQ(nn_server_model_validated(s), 0);
}

TEST(TfHttpUpload, BlocksAssembleTheModelAndNothingServesBetween)
{
    Served s;
    const std::string model = "TFL3" + std::string(1048576 - 4, 'm') + "tail";
    const Headers form = {{"Content-Type", "multipart/form-data; boundary=XyZ"}};
    Reply first = call(s, "PUT", "/v1/model", form,
                       multipart({{"block_count", "2"}, {"block_content", model.substr(0, 1048576), "b0", ""}}));
    EXPECT_EQ(first.body, "{\"block\": 1, \"block_count\": 2}");
    EXPECT_EQ(post(s, "/v1/model").status, 428) << "no model between blocks";
    testing::internal::CaptureStdout();
    Reply last = call(s, "PUT", "/v1/model", form, multipart({{"block_content", model.substr(1048576), "b1", ""}}));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(last.body, "{\"reply\": \"success\"}");
    EXPECT_EQ(binding().request_bytes, model);
    EXPECT_EQ(post(s, "/v1/model?run=1").status, 200);
}

TEST(TfHttpQuery, OutputsMatchTensorNamesExactly)
{
    Served s;
    Reply one = post(s, "/v1/model?output=output");
    EXPECT_EQ(one.status, 200);
    EXPECT_EQ(one.body, "{\"timing\":0,\"decode\":0,\"input\":0,\"outputs\":[{\"name\":\"output\",\"datatype\":\"UINT8\","
                        "\"shape\":[1,3],\"timing\":0,\"io_timing\":0,\"data\":\"YWJj\"}]}");
    for (const char* name : {"outpu", "output2", "OUTPUT", "nosuch"}) {
        Reply r = post(s, std::string("/v1/model?output=") + name);
        EXPECT_EQ(r.status, 404) << name;
        EXPECT_EQ(r.body, "Output Tensor Not Found") << name;
    }
    std::string sixteen = "/v1/model?run=0";
    for (int i = 0; i < 16; ++i)
        sixteen += i % 2 ? "&output=pool" : "&output=conv";
    EXPECT_EQ(post(s, sixteen).status, 200);
    Reply seventeen = post(s, sixteen + "&output=output");
    EXPECT_EQ(seventeen.status, 400);
    EXPECT_EQ(seventeen.body, "Too Many Outputs Requested");
}

TEST(TfHttpQuery, StepIsOnlyRangeChecked)
{
    Served s;
    const int invokes = binding().state->invokes;
    EXPECT_EQ(post(s, "/v1/model?step=2").status, 200);
    EXPECT_EQ(post(s, "/v1/model?step=0-100").status, 200);
    EXPECT_EQ(binding().state->invokes, invokes) << "steps run nothing";
    for (const char* step : {"3", "3-4", "100"}) {
        Reply r = post(s, std::string("/v1/model?step=") + step);
        EXPECT_EQ(r.status, 400) << step;
        EXPECT_EQ(r.body, "Starting Step Out of Range") << step;
    }
}

TEST(TfHttpRun, WarmUpsOnlyForSeveralRunsAndAveragesReplaceOldTimes)
{
    struct Case {
        const char* query;
        int invokes;        // added by the request
        int64_t conv_ns;    // afterwards
    } cases[] = {
        {"run=1", 1, 10000}, {"run=3", 5, 10000}, {"run=0", 0, 10000}, {"run=-2", 0, 0},
    };
    Served s;
    for (const Case& c : cases) {
        const int before = binding().state->invokes;
        Reply r = post(s, std::string("/v1/model?") + c.query);
        EXPECT_EQ(r.status, 200) << c.query;
        EXPECT_EQ(binding().state->invokes - before, c.invokes) << c.query;
        EXPECT_EQ(s.s->op_time[0], c.conv_ns) << c.query;
        EXPECT_EQ(s.s->op_time[1], c.conv_ns * 3 / 10) << c.query;
    }
}

TEST(TfHttpRun, FailedInvokeAnswers500AndServingGoesOn)
{
    FakeGraph g = served_graph();
    g.invoke_ok = [](int n) { return n != 2; };  // the second warm-up of the first request
    Served s(g);
    Reply failed = post(s, "/v1/model?run=2");
    EXPECT_EQ(failed.status, 500);
    EXPECT_EQ(failed.header("Content-Type"), "application/json");
    EXPECT_EQ(failed.body, "{\"error\": \"TfLite Invoke Error\"}");
    EXPECT_EQ(failed.result, 0);
    Reply next = post(s, "/v1/model?run=2", {{"Accept", "application/vnd.kestrune.tensor"}});
    EXPECT_EQ(next.status, 204);
}

TEST(TfHttpReply, RawTensor)
{
    Served s;
    const Headers tensor = {{"Accept", "application/vnd.kestrune.tensor"}};
    Reply one = post(s, "/v1/model?run=1&output=output", tensor);
    EXPECT_EQ(one.status, 200);
    EXPECT_EQ(one.body, "abc");
    EXPECT_EQ(one.header("Content-Type"), "application/vnd.kestrune.tensor");
    EXPECT_EQ(one.header("X-Tensor-Type"), "UINT8");
    EXPECT_EQ(one.header("X-Tensor-Shape"), "1 3 ");
    EXPECT_EQ(post(s, "/v1/model", tensor).status, 204);
    Reply two = post(s, "/v1/model?output=output&output=pool", tensor);
    EXPECT_EQ(two.status, 400);
    EXPECT_EQ(two.body, "Only a single tensor can be returned using application/vnd.kestrune.tensor");
}

TEST(TfHttpReply, LabelsUploadedThenTopOne)
{
    Served s;
    const Headers text = {{"Accept", "text/plain"}};
    Reply none = post(s, "/v1/model", text);
    EXPECT_EQ(none.status, 404);
    EXPECT_EQ(none.body, "Labels not loaded");
    Reply loaded = post(s, "/v1/model", {{"Content-Type", "labels/plain"}}, "zero\r\none\ntwo");
    EXPECT_EQ(loaded.status, 200);
    EXPECT_EQ(loaded.body, "Success");
    EXPECT_EQ(s.s->common.label_count, 3);
    // "abc": the largest byte 'c' (99) at index 2, 99 / 255.
    Reply top = post(s, "/v1/model", text);
    EXPECT_EQ(top.status, 200);
    EXPECT_EQ(top.body, "two");
    EXPECT_EQ(top.header("X-Softmax"), "0.388235");
    Reply json = post(s, "/v1/model");
    EXPECT_EQ(json.body, "{\"timing\":0,\"decode\":0,\"input\":0,\"label\":\"two\",\"softmax\":0.388235}");
    // Fewer labels than the index: the index itself, and no label in JSON.
    post(s, "/v1/model", {{"Content-Type", "labels/plain"}}, "zero\n");
    EXPECT_EQ(post(s, "/v1/model", text).body, "2");
    EXPECT_EQ(post(s, "/v1/model").body, "{\"timing\":0,\"decode\":0,\"input\":0}");
}

TEST(TfHttpReply, LongLabelLinesAreCut)
{
    Served s;
    const std::string line(300, 'L');
    EXPECT_EQ(post(s, "/v1/model", {{"Content-Type", "labels/plain"}}, "a\nb\n" + line + "\n").body, "Success");
    ASSERT_EQ(s.s->common.label_count, 3);
    EXPECT_EQ(std::string(s.s->common.labels[2]), line.substr(0, PLUGIN_LABEL_MAX));
    EXPECT_EQ(post(s, "/v1/model", {{"Accept", "text/plain"}}).body, line.substr(0, PLUGIN_LABEL_MAX));
}

// A UINT8 [1,2,2,3] input and the pool graph's nodes.
FakeGraph picture_graph(int type)
{
    FakeGraph g = served_graph();
    g.tensors[0] = {"input", type, {1, 2, 2, 3}, zeros(type == tfplugin::kTypeFloat32 ? 48 : 12)};
    return g;
}

TEST(TfHttpInput, PictureIntoTheFirstInput)
{
    Served s(picture_graph(tfplugin::kTypeUInt8));
    Reply r = post(s, "/v1/model?run=1", {{"Content-Type", "image/x-portable-pixmap"}}, kPpm);
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(s.interpreter().tensors()[0].data.data()), 12), kPixels);
    const std::pair<const char*, std::string> refused[] = {
        {"/v1/model?imgproc=normalize", kPpm},  // flags on an 8-bit input
        {"/v1/model", "not a picture"},
    };
    for (const auto& c : refused) {
        Reply bad = post(s, c.first, {{"Content-Type", "image/png"}}, c.second);
        EXPECT_EQ(bad.status, 415) << c.first;
        EXPECT_EQ(bad.body, "Invalid or Unsupported Image Format") << c.first;
    }
}

TEST(TfHttpInput, Float32PartIntoTheInputOfItsName)
{
    Served s;
    std::vector<float> values(16);
    for (size_t i = 0; i < 16; ++i)
        values[i] = 0.5f * static_cast<float>(i);
    const std::string data(reinterpret_cast<const char*>(values.data()), 64);
    struct Case {
        const char* name;
        std::string part_name, filename, data;
        int status;
        const char* body;
    } cases[] = {
        {"good", "input", "1,4,4,1", data, 200, nullptr},
        {"missing extents are 1", "input", "1,4,4", data, 200, nullptr},
        {"not an input", "conv", "1,3,3,1", data.substr(0, 36), 404, "Input Tensor Not Found"},
        {"prefix of the name", "inpu", "1,4,4,1", data, 404, "Input Tensor Not Found"},
        {"short", "input", "1,4,4,1", data.substr(0, 60), 400, "Input Tensor Size Mismatch"},
        {"other shape", "input", "1,2,8,1", data, 400, "POSTed Tensor Has Incorrect Shape"},
        {"five extents", "input", "1,4,4,1,1", data, 400, "Input Tensor Rank Too High"},
    };
    for (const Case& c : cases) {
        std::memset(s.interpreter().tensors()[0].data.data(), 0, 64);
        Reply r = post(s, "/v1/model", {{"Content-Type", "multipart/form-data; boundary=XyZ"}},
                       multipart({{c.part_name, c.data, c.filename, "application/vnd.kestrune.tensor.float32"}}));
        EXPECT_EQ(r.status, c.status) << c.name;
        if (c.body)
            EXPECT_EQ(r.body, c.body) << c.name;
        else
            EXPECT_EQ(std::memcmp(s.interpreter().tensors()[0].data.data(), values.data(), 64), 0) << c.name;
    }
}

TEST(TfImage, LoaderStatusesAndStoredValues)
{
    FakeGraph g = pool_graph();
    g.tensors = {
        {"u8", tfplugin::kTypeUInt8, {1, 2, 2, 3}, zeros(12)},
        {"i8", tfplugin::kTypeInt8, {1, 2, 2, 3}, zeros(12)},
        {"f32", tfplugin::kTypeFloat32, {1, 2, 2, 3}, zeros(48)},
        {"rank2", tfplugin::kTypeUInt8, {2, 6}, zeros(12)},
        {"five", tfplugin::kTypeUInt8, {1, 2, 2, 5}, zeros(20)},
        {"i32", tfplugin::kTypeInt32, {1, 2, 2, 3}, zeros(48)},
        {"nodata", tfplugin::kTypeUInt8, {1, 2, 2, 3}, {}},
        {"zero", tfplugin::kTypeUInt8, {1, 2, 2, 0}, zeros(1)},
    };
    g.nodes = {};
    Server s;
    ASSERT_EQ(s.load(g), 0);
    struct Case {
        const char* name;
        int tensor;
        std::string data;
        uint32_t flags;
        int status;
    } cases[] = {
        {"uint8", 0, kPpm, 0, 0},
        {"int8", 1, kPpm, 0, 0},
        {"float32 normalised", 2, kPpm, 1, 0},
        {"rank 2", 3, kPpm, 0, 6},
        {"five channels", 4, kPpm, 0, 6},
        {"no channels", 7, kPpm, 0, 6},
        {"flags on 8-bit", 0, kPpm, 1, 5},
        {"flags on signed 8-bit", 1, kPpm, 4, 5},
        {"not a picture", 0, "GIF8? no", 0, 1},
        {"other type", 5, kPpm, 0, 16},
        {"no data", 6, kPpm, 0, 14},
        {"outside the tensors", 8, kPpm, 0, 14},
        {"negative index", -1, kPpm, 0, 14},
    };
    for (const Case& c : cases)
        EXPECT_EQ(tfplugin::tf_tensor_load_image_ex(c.tensor, s, c.data.data(), c.data.size(), c.flags), c.status)
            << c.name;
    EXPECT_EQ(tfplugin::tf_tensor_load_image_ex(0, s, nullptr, 10, 0), 6);
    EXPECT_EQ(tfplugin::tf_tensor_load_image_ex(0, nullptr, kPpm.data(), kPpm.size(), 0), 6);
    EXPECT_EQ(tfplugin::tf_tensor_load_image_ex(0, s, kPpm.data(), size_t{INT_MAX} + 1, 0), 6);
    std::vector<FakeTensor>& t = s.interpreter().tensors();
    for (size_t i = 0; i < 12; ++i) {
        const int byte = static_cast<uint8_t>(kPixels[i]);
        EXPECT_EQ(t[0].data[i], byte) << i;
        EXPECT_EQ(t[1].as<int8_t>()[i], byte - 128) << i;
        EXPECT_NEAR(t[2].as<float>()[i], byte / 255.0, 1e-6) << i;
    }
}

}  // namespace
