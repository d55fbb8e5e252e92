// The Arm NN plug-in's HTTP handler: descriptions, model upload, labels and
// inference requests, where it differs from the runtime plug-in's API.
#include "armnn_test_util.h"

#include <cmath>

#include "case_name.h"

namespace armnn_test {
namespace {

using tflite_test::Model;

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A server with a model uploaded in one PUT.
struct Uploaded {
    Server server;
    std::string bytes;
    explicit Uploaded(const Model& model, size_t max_model = 64u << 20) : server(1, max_model), bytes(model_bytes(model))
    {
        testing::internal::CaptureStdout();
        Reply r = call(server, put_whole(bytes));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, "{\"reply\": \"success\"}");
    }
};

Request get(const std::string& target, const std::string& accept = "")
{
    Request r;
    r.target = target;
    if (!accept.empty())
        r.headers.emplace_back("Accept", accept);
    return r;
}

Request labels(const std::string& text)
{
    return post("/", "", "labels/plain", text);
}

// ---- descriptions ---------------------------------------------------------------

TEST(ArmnnDescribe, EngineDescriptionWithAndWithoutAModel)
{
    Server server;
    Reply r = call(server, get("/"));
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_TRUE(has(r.body, "\"engine\":\"ArmNN\",\"version\":\"24.0.0\"")) << r.body;
    EXPECT_TRUE(has(r.body, "\"id\":\"cpu:0\"")) << r.body;
    EXPECT_TRUE(has(r.body, "\"model\":null")) << r.body;

    Uploaded m(tflite_test::pool_model(TensorType::float32));
    r = call(m.server, get("/"));
    ASSERT_EQ(r.status, 200);
    EXPECT_TRUE(has(r.body, "\"size\":" + std::to_string(m.bytes.size()))) << r.body;
    EXPECT_TRUE(has(r.body, "\"memory_size\":0,\"layer_count\":0")) << r.body;
}

TEST(ArmnnDescribe, ModelDescriptionKeys)
{
    Server empty;
    Reply r = call(empty, get("/v1/model"));
    EXPECT_EQ(r.status, 428);
    EXPECT_EQ(r.body, "{\"status\": \"no model loaded\"}");

    Uploaded m(tflite_test::pool_model(TensorType::uint8, 4, 4, 3, 2));
    r = call(m.server, get("/v1/model"));
    ASSERT_EQ(r.status, 200);
    const std::string& b = r.body;
    EXPECT_TRUE(has(b, "{\"model_name\":\"\",\"uuid\":\"\",\"size\":" + std::to_string(m.bytes.size()) +
                           ",\"memory_size\":0,"))
        << b;
    EXPECT_TRUE(has(b, "\"inputs\":[{\"name\":\"input\",\"datatype\":\"UINT8\",\"scale\":0.00392157,"
                       "\"zero_point\":0,\"shape\":[1,4,4,3]}]"))
        << b;
    EXPECT_TRUE(has(b, "\"outputs\":[{\"name\":\"output0\",\"datatype\":\"UINT8\"")) << b;
    EXPECT_TRUE(has(b, "{\"name\":\"output1\"")) << b;
    EXPECT_TRUE(has(b, "\"layer_count\":0,\"label_count\":0,\"labels\":[]")) << b;
    EXPECT_TRUE(has(b, "\"timings\":{\"decode\":")) << b;
    EXPECT_FALSE(has(b, "\"index\"")) << b;
    EXPECT_FALSE(has(b, "\"layers\"")) << b;
}

TEST(ArmnnDescribe, MethodsAndDownload)
{
    Uploaded m(tflite_test::pool_model(TensorType::float32));
    Reply r = call(m.server, get("/v1/model", "application/vnd.kestrune.kfm"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, m.bytes) << "the uploaded bytes come back";
    Request options;
    options.method = "OPTIONS";
    EXPECT_EQ(call(m.server, options).status, 204);
    Request other;
    other.method = "DELETE";
    r = call(m.server, other);
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, "Not Found");
}

// ---- upload -----------------------------------------------------------------------

// Announced counts of up to four blocks and of more (whose room is
// reserved without being touched).
class ArmnnBlocks : public ::testing::TestWithParam<int> {};

TEST_P(ArmnnBlocks, UploadedInAnnouncedBlocks)
{
    const int count = GetParam();
    Server server;
    const std::string bytes = model_bytes(tflite_test::pool_model(TensorType::float32));
    const size_t block = bytes.size() / static_cast<size_t>(count) + 1;
    for (int i = 0; i < count; ++i) {
        Request put;
        put.method = "PUT";
        std::vector<Part> parts;
        if (i == 0)
            parts.emplace_back("block_count", std::to_string(count));
        parts.emplace_back("block_content", bytes.substr(static_cast<size_t>(i) * block, block), "model.tflite",
                           "application/octet-stream");
        put.body = multipart(parts);
        testing::internal::CaptureStdout();
        Reply r = call(server, put);
        std::string out = testing::internal::GetCapturedStdout();
        ASSERT_EQ(r.status, 200);
        if (i + 1 < count) {
            EXPECT_EQ(r.body, "{\"block\": " + std::to_string(i + 1) + ", \"block_count\": " + std::to_string(count) + "}");
            EXPECT_EQ(plugin().nn_server_model_validated(server), 0);
            EXPECT_EQ(call(server, post("/")).status, 428);
        } else {
            EXPECT_EQ(r.body, "{\"reply\": \"success\"}");
            EXPECT_TRUE(has(out, "Model loaded and validated")) << out;
        }
    }
    EXPECT_EQ(plugin().nn_server_model_validated(server), 1);
    EXPECT_EQ(call(server, get("/v1/model", "application/vnd.kestrune.kfm")).body, bytes);
    EXPECT_TRUE(has(call(server, get("/v1/model")).body, "\"size\":" + std::to_string(bytes.size()) + ","));
}

INSTANTIATE_TEST_SUITE_P(Counts, ArmnnBlocks, ::testing::Values(3, 7));

TEST(ArmnnUpload, CorruptBytesLeaveNoModel)
{
    Uploaded m(tflite_test::pool_model(TensorType::float32));
    std::string bytes = m.bytes;
    for (size_t i = 8; i < bytes.size(); i += 3)
        bytes[i] = static_cast<char>(0xA5);
    testing::internal::CaptureStderr();
    Reply r = call(m.server, put_whole(bytes));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"error\": \"model load error\"}");
    EXPECT_TRUE(has(err, "v1_put failed to load model\n")) << err;
    EXPECT_EQ(plugin().nn_server_model_validated(m.server), 0);
    r = call(m.server, post("/?run=1"));
    EXPECT_EQ(r.status, 428);
    EXPECT_EQ(r.body, "No Model Loaded");
    // A good upload afterwards loads.
    testing::internal::CaptureStdout();
    EXPECT_EQ(call(m.server, put_whole(m.bytes)).body, "{\"reply\": \"success\"}");
    testing::internal::GetCapturedStdout();
}

TEST(ArmnnUpload, LimitsOfTheModelSize)
{
    Server server(1, 1u << 20);
    Request put;
    put.method = "PUT";
    put.body = multipart({{"block_count", "2"}});
    Reply r = call(server, put);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, "Requested model is larger than allowed");
    Server small(1, 64);
    r = call(small, put_whole(model_bytes(tflite_test::pool_model(TensorType::float32))));
    EXPECT_EQ(r.status, 507);
    EXPECT_EQ(r.body, "{\"error\": \"model too large\"}");
    EXPECT_EQ(call(small, get("/")).status, 200);
}

TEST(ArmnnUpload, AnUploadUnloadsTheLabels)
{
    Uploaded m(tflite_test::pool_model(TensorType::float32));
    EXPECT_EQ(call(m.server, labels("a\nb")).body, "Success");
    testing::internal::CaptureStdout();
    call(m.server, put_whole(m.bytes));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(has(call(m.server, get("/v1/model")).body, "\"label_count\":0")) << "the unload frees them";
}

// ---- labels ----------------------------------------------------------------------------

struct LabelsCase {
    std::string label;
    std::string body;
    int count;
    std::string listed;  // expected inside the "labels" array
};

std::vector<LabelsCase> labels_cases()
{
    std::string many;
    for (int i = 0; i < 1025; ++i)
        many += "l" + std::to_string(i) + "\n";
    const std::string longline(2000, 'x');
    return {
        {"three without final newline", "red\ngreen\nblue", 3, "[\"red\",\"green\",\"blue\"]"},
        {"final newline adds none", "red\ngreen\n", 2, "[\"red\",\"green\"]"},
        {"crlf", "red\r\ngreen\r\n", 2, "[\"red\",\"green\"]"},
        {"1025 lines", many, 1024, "\"l1023\"]"},
        {"long line cut", longline + "\nnext", 2, "\",\"next\"]"},
    };
}

class ArmnnLabels : public ::testing::TestWithParam<LabelsCase> {};

TEST_P(ArmnnLabels, Loaded)
{
    const LabelsCase& c = GetParam();
    Uploaded m(tflite_test::pool_model(TensorType::float32));
    Reply r = call(m.server, labels("old\nlist\nof\nfour"));
    r = call(m.server, labels(c.body));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("Content-Type"), "text/plain");
    EXPECT_EQ(r.body, "Success");
    r = call(m.server, get("/v1/model"));
    EXPECT_TRUE(has(r.body, "\"label_count\":" + std::to_string(c.count) + ",")) << r.body.substr(0, 400);
    EXPECT_TRUE(has(r.body, c.listed)) << r.body.substr(0, 400);
    EXPECT_FALSE(has(r.body, "\"old\""));
    if (c.label == "long line cut") {
        const size_t open = r.body.find("\"labels\":[\"") + 11;
        const size_t kept = r.body.find('"', open) - open;
        EXPECT_GT(kept, 0u);
        EXPECT_LT(kept, 2000u) << "cut to the line buffer";
    }
}

INSTANTIATE_TEST_SUITE_P(Bodies, ArmnnLabels, ::testing::ValuesIn(labels_cases()), case_name<LabelsCase>);

// ---- inference --------------------------------------------------------------------------

// Two pooled outputs named "out" and "out_b".
Model two_outputs()
{
    Model m = tflite_test::pool_model(TensorType::float32, 4, 4, 3, 2);
    m.tensors[1].name = "out";
    m.tensors[2].name = "out_b";
    return m;
}

// Names of the output objects in a JSON reply, in order.
std::vector<std::string> output_names(const std::string& json)
{
    std::vector<std::string> names;
    for (size_t at = json.find("{\"name\":\""); at != std::string::npos; at = json.find("{\"name\":\"", at + 1)) {
        const size_t start = at + 9;
        names.push_back(json.substr(start, json.find('"', start) - start));
    }
    return names;
}

struct OutputCase {
    std::string label;
    std::string query;
    int status;
    std::vector<std::string> names;  // or the text of a refusal
};

class ArmnnOutputs : public ::testing::TestWithParam<OutputCase> {};

TEST_P(ArmnnOutputs, PrefixRule)
{
    const OutputCase& c = GetParam();
    Uploaded m(two_outputs());
    Reply r = call(m.server, post("/v1/model?run=1&" + c.query));
    EXPECT_EQ(r.status, c.status) << r.body;
    if (c.status == 200)
        EXPECT_EQ(output_names(r.body), c.names) << r.body;
    else
        EXPECT_EQ(r.body, c.names[0]);
    EXPECT_EQ(call(m.server, get("/")).status, 200) << "the next request is answered";
}

INSTANTIATE_TEST_SUITE_P(
    Queries, ArmnnOutputs,
    ::testing::Values(OutputCase{"exact", "output=out", 200, {"out"}},
                      OutputCase{"last match wins", "output=out_b", 200, {"out_b"}},
                      OutputCase{"longer name", "output=out_b%3A0", 200, {"out_b"}},
                      OutputCase{"request order", "output=out_b&output=out", 200, {"out_b", "out"}},
                      OutputCase{"none asked: every output", "id=7", 200, {"out", "out_b"}},
                      OutputCase{"five", "output=out&output=out&output=out&output=out&output=out", 200,
                                 {"out", "out", "out", "out", "out"}},
                      OutputCase{"six", "output=out&output=out&output=out&output=out&output=out&output=out", 400,
                                 {"Too Many Outputs Requested"}},
                      OutputCase{"unknown", "output=ou", 404, {"Output Tensor Not Found"}},
                      OutputCase{"step", "step=0", 404, {"Run layer unsupported"}},
                      OutputCase{"step range", "step=0-1", 404, {"Run layer unsupported"}},
                      OutputCase{"imgproc", "imgproc=sharpen", 404, {"Unsupported Image Processing Request"}}),
    case_name<OutputCase>);

TEST(ArmnnPost, JsonOutputObjects)
{
    Uploaded m(tflite_test::pool_model(TensorType::float32));
    Reply r = call(m.server, post("/?run=2&output=output&id=abc"));
    ASSERT_EQ(r.status, 200);
    const std::string& b = r.body;
    EXPECT_TRUE(has(b, "\"id\":\"abc\"")) << b;
    EXPECT_TRUE(has(b, "\"outputs\":[{\"name\":\"output\",\"datatype\":\"FLOAT32\",\"shape\":[1,1,1,3],\"timing\":"))
        << b;
    EXPECT_TRUE(has(b, "\"io_timing\":")) << b;
    EXPECT_EQ(values_of<float>(output_data(b)), (std::vector<float>{0, 0, 0})) << b;
    EXPECT_FALSE(has(b, "\"label\"")) << b;
    EXPECT_FALSE(has(b, "\"softmax\"")) << b;
}

TEST(ArmnnPost, TensorReplyOfOneOutput)
{
    Uploaded m(two_outputs());
    Reply r = call(m.server, post("/?run=1&output=out_b", "application/vnd.kestrune.tensor"));
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.header("X-Tensor-Type"), "FLOAT32");
    EXPECT_EQ(r.header("X-Tensor-Shape"), "1 1 1 3 ");
    EXPECT_EQ(r.body.size(), 12u);
    EXPECT_EQ(call(m.server, post("/", "application/vnd.kestrune.tensor")).status, 204);
    EXPECT_EQ(call(m.server, post("/?output=out&output=out_b", "application/vnd.kestrune.tensor")).status, 400);
}

TEST(ArmnnPost, LabelReply)
{
    Uploaded m(tflite_test::pool_model(TensorType::float32));
    const std::string png = solid_picture(Picture::png, 4, 4, 10, 250, 20);
    Reply r = call(m.server, post("/?run=1", "text/plain", "image/png", png));
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, "Labels not loaded");
    ASSERT_EQ(call(m.server, labels("red\ngreen\nblue")).body, "Success");
    r = call(m.server, post("/?run=1&imgproc=normalize", "text/plain", "image/png", png));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "green");
    EXPECT_NEAR(std::atof(r.header("X-Softmax").c_str()), 250 * 0.003921569, 1e-5);
    EXPECT_NE(r.header("X-Model-Timing"), "<absent>");
}

// "run" 0, the default, runs nothing: the picture is loaded, but the reply
// and its timing still come from the last run.
TEST(ArmnnPost, RunZeroRepliesFromTheLastRun)
{
    Uploaded m(tflite_test::pool_model(TensorType::float32));
    ASSERT_EQ(call(m.server, labels("red\ngreen\nblue")).body, "Success");
    Reply r = call(m.server, post("/?run=1&imgproc=normalize", "text/plain", "image/png",
                                  solid_picture(Picture::png, 4, 4, 10, 250, 20)));
    ASSERT_EQ(r.body, "green");
    const std::string timing = r.header("X-Model-Timing");
    r = call(m.server, post("/?imgproc=normalize", "text/plain", "image/png",
                            solid_picture(Picture::png, 4, 4, 250, 10, 20)));
    EXPECT_EQ(r.body, "green");
    EXPECT_EQ(r.header("X-Model-Timing"), timing);
    EXPECT_EQ(call(m.server, post("/?run=1", "text/plain")).body, "red");
}

TEST(ArmnnPost, RawTensorBodiesAreNotInputs)
{
    Uploaded m(tflite_test::pool_model(TensorType::float32));
    const std::vector<float> ones(48, 1.0f);
    Reply r = call(m.server, post("/?run=1", "", "application/vnd.kestrune.tensor", floats(ones)));
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(values_of<float>(output_data(r.body)), (std::vector<float>{0, 0, 0})) << "the input is unchanged";
}

// ---- float32 parts ---------------------------------------------------------------------

struct PartCase {
    std::string label;
    std::string name;
    std::string shape;  // the part's file name
    size_t floats;
    int status;
    std::string text;
};

class ArmnnFloat32Part : public ::testing::TestWithParam<PartCase> {};

TEST_P(ArmnnFloat32Part, Checks)
{
    const PartCase& c = GetParam();
    Uploaded m(tflite_test::pool_model(TensorType::float32));
    std::vector<float> data(c.floats);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<float>(i % 7) * 0.5f;
    const std::string body =
        multipart({{c.name, floats(data), c.shape, "application/vnd.kestrune.tensor.float32"}});
    Reply r = call(m.server, post("/?run=1", "", "multipart/form-data; boundary=XyZ", body));
    EXPECT_EQ(r.status, c.status) << r.body;
    if (c.status != 200) {
        EXPECT_EQ(r.body, c.text);
        return;
    }
    // The pool's channel means, in double precision.
    std::vector<float> got = values_of<float>(output_data(r.body));
    ASSERT_EQ(got.size(), 3u);
    for (int ch = 0; ch < 3; ++ch) {
        double sum = 0;
        for (int p = 0; p < 16; ++p)
            sum += data[static_cast<size_t>(p * 3 + ch)];
        EXPECT_NEAR(got[static_cast<size_t>(ch)], sum / 16, 1e-5);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Parts, ArmnnFloat32Part,
    ::testing::Values(PartCase{"good", "input", "1,4,4,3", 48, 200, ""},
                      PartCase{"name with a suffix", "input:0", "1,4,4,3", 48, 200, ""},
                      PartCase{"other name", "image", "1,4,4,3", 48, 404, "Input Tensor Not Found"},
                      PartCase{"size", "input", "1,4,4,3", 47, 400, "Input Tensor Size Mismatch"},
                      PartCase{"rank", "input", "1,4,4,3,1", 48, 400, "Input Tensor Rank Too High"},
                      PartCase{"shape", "input", "1,4,3,4", 48, 400, "POSTed Tensor Has Incorrect Shape"}),
    case_name<PartCase>);

}  // namespace
}  // namespace armnn_test
