// The HTTP handler where this engine differs from the runtime's API: the
// descriptions, outputs by exact name, float32 parts, labels, runs that fail
// and the block-wise upload.
#include "onnx_test_support.h"

#include "multipart_body.h"

#define STBI_WRITE_NO_STDIO
#include <stb/stb_image_write.h>

using namespace onnx_test;
using multipart_body::multipart;
using multipart_body::Part;
using onnxtest::Node;

namespace {

const char kFloat32[] = "application/vnd.kestrune.tensor.float32";

std::string solid_png(int w, int h, uint8_t r, uint8_t g, uint8_t b)
{
    std::vector<uint8_t> px;
    for (int i = 0; i < w * h; ++i)
        px.insert(px.end(), {r, g, b});
    std::string out;
    stbi_write_png_to_func([](void* ctx, void* data, int size) {
        static_cast<std::string*>(ctx)->append(static_cast<const char*>(data), (size_t)size);
    }, &out, w, h, 3, px.data(), w * 3);
    return out;
}

// x [1,3,5,5]: y = GlobalAveragePool(x), minus = Neg(x).
Graph two_output_model()
{
    Graph g = gap_model();
    g.nodes.push_back(Node{"Neg", {"x"}, {"minus"}, {}});
    g.outputs.push_back(Value{"minus", onnxtest::FLOAT, {1, 3, 5, 5}});
    return g;
}

class OnnxHttp : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Plugin::get().ok()); }
    void load(const Graph& g)
    {
        testing::internal::CaptureStdout();
        ASSERT_EQ(server.load(dir.model("m", g)), 0);
        testing::internal::GetCapturedStdout();
    }
    Reply get(const std::string& target)
    {
        Request req;
        req.target = target;
        return call(server, req);
    }
    // The floats of the JSON output called `name` in `body`.
    static std::vector<float> output_data(const std::string& body, const std::string& name)
    {
        size_t at = body.find("\"name\":\"" + name + "\"");
        if (at == std::string::npos)
            return {};
        return floats_of(base64_decode(json_string(body, "data", at)));
    }
    TempDir dir;
    Server server;
};

TEST_F(OnnxHttp, EngineDescription)
{
    Reply r = get("/");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_NE(r.body.find("\"engine\":\"ONNX Runtime\""), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("\"version\":\"1.21.0\""), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("\"id\":\"cpu:0\""), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("\"Execution_Provider\":\"CPU\""), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("\"model\":null"), std::string::npos) << r.body;
    load(gap_model());
    r = get("/");
    EXPECT_NE(r.body.find("\"model\":{\"uuid\":\"\",\"name\":\"\""), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("\"Execution_Provider\":\"CPU\""), std::string::npos) << r.body;
}

TEST_F(OnnxHttp, ModelDescription)
{
    Reply r = get("/v1/model");
    EXPECT_EQ(r.status, 428);
    EXPECT_EQ(r.body, "{\"status\": \"no model loaded\"}");
    load(two_output_model());
    r = get("/v1/model");
    ASSERT_EQ(r.status, 200);
    const std::string& b = r.body;
    EXPECT_NE(b.find("\"model_name\":\"\",\"uuid\":\"\",\"size\":0,\"memory_size\":0"), std::string::npos) << b;
    EXPECT_NE(b.find("\"inputs\":[{\"name\":\"x\",\"datatype\":\"FLOAT32\""), std::string::npos) << b;
    EXPECT_NE(b.find("\"shape\":[1,3,5,5]"), std::string::npos) << b;
    EXPECT_NE(b.find("{\"name\":\"y\",\"datatype\":\"FLOAT32\""), std::string::npos) << b;
    EXPECT_NE(b.find("{\"name\":\"minus\""), std::string::npos) << b;
    EXPECT_EQ(b.find("\"index\""), std::string::npos) << b;
    EXPECT_EQ(b.find("\"layers\""), std::string::npos) << b;
}

TEST_F(OnnxHttp, OutputsByExactName)
{
    load(two_output_model());
    std::vector<float> x(75);
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = (float)i;
    std::string body = multipart({Part("x", floats_bytes(x), "1,3,5,5", kFloat32)});
    Reply r = post(server, "/?output=minus", "multipart/form-data; boundary=XyZ", body);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body.find("\"name\":\"y\""), std::string::npos) << r.body;
    std::vector<float> minus = output_data(r.body, "minus");
    ASSERT_EQ(minus.size(), 75u);
    for (size_t i = 0; i < 75; ++i)
        ASSERT_EQ(minus[i], -(float)i);
    // All outputs when none is named; y holds the channel means.
    r = post(server, "/", "multipart/form-data; boundary=XyZ", body);
    std::vector<float> y = output_data(r.body, "y");
    ASSERT_EQ(y.size(), 3u) << r.body;
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(y[(size_t)c], 25.0 * c + 12.0, 1e-4);
    EXPECT_EQ(output_data(r.body, "minus").size(), 75u);
    EXPECT_NE(r.body.find("\"shape\":[1,3,1,1]"), std::string::npos) << r.body;

    EXPECT_EQ(post(server, "/?output=minu", "", "").body, "Output Tensor Not Found");
    EXPECT_EQ(post(server, "/?output=minus2", "", "").status, 404);
    std::string sixteen = "/?output=y";
    for (int i = 1; i < 16; ++i)
        sixteen += "&output=y";
    EXPECT_EQ(post(server, sixteen, "", "").status, 200);
    r = post(server, sixteen + "&output=y", "", "");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, "Too Many Outputs Requested");
    r = post(server, "/?step=0", "", "");
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, "Unsupported Request");
}

TEST_F(OnnxHttp, Float32Parts)
{
    load(gap_model());
    std::string good = floats_bytes(std::vector<float>(75, 2.0f));
    struct Row {
        const char* what;
        Part part;
        int status;
        const char* body; // nullptr: JSON
    };
    const Row rows[] = {
        {"named as the input", Part("x", good, "1,3,5,5", kFloat32), 200, nullptr},
        {"no shape check", Part("x", good, "9,9", kFloat32), 200, nullptr},
        {"a longer name", Part("xx", good, "1,3,5,5", kFloat32), 404, "Input Tensor Not Found"},
        {"a shorter name", Part("", good, "1,3,5,5", kFloat32), 404, "Input Tensor Not Found"},
        {"five extents", Part("x", good, "1,1,3,5,5", kFloat32), 400, "Input Tensor Rank Too High"},
        {"short data", Part("x", good.substr(4), "1,3,5,5", kFloat32), 400, "Input Tensor Size Mismatch"},
    };
    for (const Row& row : rows) {
        Reply r = post(server, "/", "multipart/form-data; boundary=XyZ", multipart({row.part}));
        EXPECT_EQ(r.status, row.status) << row.what << ": " << r.body;
        if (row.body) {
            EXPECT_EQ(r.body, row.body) << row.what;
        }
    }
    Reply r = post(server, "/", "multipart/form-data; boundary=XyZ", multipart({rows[0].part}));
    std::vector<float> y = output_data(r.body, "y");
    ASSERT_EQ(y.size(), 3u);
    EXPECT_NEAR(y[1], 2.0, 1e-6);
}

TEST_F(OnnxHttp, TensorAcceptIsAnsweredWithJson)
{
    load(gap_model());
    Reply r = post(server, "/?output=y", "", "", "application/vnd.kestrune.tensor");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_NE(r.body.find("\"outputs\":[{\"name\":\"y\""), std::string::npos) << r.body;
    EXPECT_EQ(r.header("X-Tensor-Type"), "<absent>");
}

TEST_F(OnnxHttp, AFailedRunIsAnsweredAndTheServerGoesOn)
{
    load(gather_model());
    auto index = [](int64_t i) { return std::string(reinterpret_cast<const char*>(&i), sizeof i); };
    testing::internal::CaptureStderr();
    Reply r = post(server, "/", "application/vnd.kestrune.tensor", index(7));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_EQ(r.body, "{\"error\": \"ONNX Run Error\"}");
    EXPECT_FALSE(err.empty()) << "ONNX Runtime's message is printed";
    r = post(server, "/", "application/vnd.kestrune.tensor", index(2));
    ASSERT_EQ(r.status, 200) << r.body;
    std::vector<float> y = output_data(r.body, "y");
    ASSERT_EQ(y.size(), 1u);
    EXPECT_EQ(y[0], 30.0f);
    EXPECT_EQ(post(server, "/", "application/vnd.kestrune.tensor", "123").body, "Input Tensor Size Mismatch");
}

TEST_F(OnnxHttp, LabelsAndTheTextReply)
{
    load(gap_model());
    std::string green = solid_png(5, 5, 0, 255, 0);
    Reply r = post(server, "/?imgproc=normalize", "image/png", green, "text/plain");
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, "Labels not loaded");
    r = post(server, "/", "labels/plain", "red\ngreen\nblue");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "Success");
    r = post(server, "/?imgproc=normalize", "image/png", green, "text/plain");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "green");
    EXPECT_EQ(r.header("X-Softmax").substr(0, 5), "1.000");
    r = post(server, "/?imgproc=normalize", "image/png", solid_png(5, 5, 0, 0, 255), "text/plain");
    EXPECT_EQ(r.body, "blue");
    r = post(server, "/", "image/png", "not a picture");
    EXPECT_EQ(r.status, 415);
    EXPECT_EQ(r.body, "Invalid or Unsupported Image Format");
    // A line longer than any label is cut, not written past.
    r = post(server, "/", "labels/plain", std::string(5000, 'a') + "\nb\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(server->common.label_count, 2);
}

TEST_F(OnnxHttp, BlockUploadLoadsAndACorruptUploadLeavesNoModel)
{
    std::vector<uint8_t> model = onnxtest::write_model(two_output_model());
    std::string bytes = bytes_of(model);
    size_t half = bytes.size() / 2;
    Request put;
    put.method = "PUT";
    put.target = "/v1/model";
    put.headers = {{"Content-Type", "multipart/form-data; boundary=XyZ"}};
    put.body = multipart({Part("block_count", "2"), Part("block_content", bytes.substr(0, half), "model")});
    testing::internal::CaptureStdout();
    Reply r = call(server, put);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"block\": 1, \"block_count\": 2}");
    EXPECT_EQ(engine().nn_server_model_validated(server), 0);
    put.body = multipart({Part("block_content", bytes.substr(half), "model")});
    r = call(server, put);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"reply\": \"success\"}");
    EXPECT_EQ(engine().nn_server_model_validated(server), 1);
    r = get("/v1/model");
    EXPECT_NE(r.body.find("\"size\":" + std::to_string(bytes.size())), std::string::npos) << r.body;
    EXPECT_EQ(post(server, "/?output=y", "", "").status, 200);
    // The download gives back the uploaded bytes.
    Request download;
    download.target = "/v1/model";
    download.headers = {{"Accept", "application/vnd.kestrune.kfm"}};
    r = call(server, download);
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.body == bytes) << r.body.size() << " bytes";

    put.body = multipart({Part("block_count", "1"), Part("block_content", "corrupt model bytes", "model")});
    testing::internal::CaptureStderr();
    r = call(server, put);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"error\": \"invalid model\"}");
    EXPECT_NE(err.find("v1_put failed to validate model\n"), std::string::npos) << err;
    EXPECT_EQ(post(server, "/", "", "").status, 428);
}

TEST_F(OnnxHttp, OtherMethods)
{
    Request req;
    req.method = "OPTIONS";
    EXPECT_EQ(call(server, req).status, 204);
    req.method = "DELETE";
    Reply r = call(server, req);
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, "Not Found");
    EXPECT_EQ(post(server, "/", "", "").body, "No Model Loaded");
}

} // namespace
