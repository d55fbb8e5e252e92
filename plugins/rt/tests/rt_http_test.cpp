// Dispatch, descriptions, download and block-wise upload.
#include <chrono>

#include "rt_test_util.h"

using namespace rt_test;

namespace {

const char* const kKfm = "application/vnd.kestrune.kfm";

Request get(const std::string& target, std::vector<std::pair<std::string, std::string>> headers = {})
{
    Request r;
    r.target = target;
    r.headers = std::move(headers);
    return r;
}

Request put_parts(const std::vector<Part>& parts)
{
    Request r;
    r.method = "PUT";
    r.target = "/v1/model";
    r.headers = {{"Content-Type", "multipart/form-data; boundary=XyZ"}};
    r.body = multipart(parts);
    return r;
}

Part count_part(const std::string& n) { return {"block_count", n, "", ""}; }
Part block_part(const std::string& data) { return {"block_content", data, "blob", "application/octet-stream"}; }

std::string silenced_stderr(const std::function<void()>& f)
{
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

struct Loaded : Server {
    kfm::Buffer model;
    explicit Loaded(const kfm::Model& m, size_t max_model = 64u << 20) : Server(max_model), model(kfm::write(m))
    {
        Reply r = call(s, put_whole(bytes_of(model)));
        EXPECT_EQ(r.body, "{\"reply\": \"success\"}");
    }
};

TEST(RtDispatch, MethodsOptionsAndUnknown)
{
    Server s;
    struct Case {
        const char* method;
        int status;
        const char* content_type;
        const char* body;
    } cases[] = {
        {"OPTIONS", 204, "", ""},
        {"DELETE", 404, "text/plain", "Not Found"},
        {"get", 404, "text/plain", "Not Found"},  // the method text is exact
        {"POST", 428, "text/plain", "No Model Loaded"},
    };
    for (const Case& c : cases) {
        Request r = get("/anything");
        r.method = c.method;
        Reply reply = call(s, r);
        EXPECT_EQ(reply.status, c.status) << c.method;
        EXPECT_EQ(reply.header("Content-Type"), c.content_type) << c.method;
        EXPECT_EQ(reply.body, c.body) << c.method;
        EXPECT_EQ(reply.result, 0);
    }
}

TEST(RtGet, WithoutModel)
{
    Server s;
    Reply download = call(s, get("/v1/model", {{"Accept", kKfm}}));
    EXPECT_EQ(download.status, 428);
    EXPECT_EQ(download.body, "No Model Loaded");
    Reply description = call(s, get("/v1/model"));
    EXPECT_EQ(description.status, 428);
    EXPECT_EQ(description.header("Content-Type"), "text/plain");
    EXPECT_EQ(description.body, "{\"status\": \"no model loaded\"}");
    Reply engine = call(s, get("/"));
    EXPECT_EQ(engine.status, 200);
    EXPECT_EQ(engine.header("Content-Type"), "application/json");
    EXPECT_EQ(engine.body.rfind("{\"engine\":\"kestrunert\",\"version\":\"" + std::string(nn_version()) +
                                    "\",\"batch_size\":1,",
                                0),
              0u)
        << engine.body;
    EXPECT_NE(engine.body.find("\"model\":null,\"model_limits\":{\"block_size\":1048576,\"max_layers\":1024,"
                               "\"max_input_size\":607500,"),
              std::string::npos)
        << engine.body;
    EXPECT_NE(engine.body.find("\"max_model_size\":67108864,"), std::string::npos);
    EXPECT_EQ(engine.body.find("\"plugin\""), std::string::npos);
    EXPECT_NE(engine.body.find("\"device\":{\"api\":\"\",\"id\":\"cpu:0\""), std::string::npos) << engine.body;
}

TEST(RtGet, DownloadAcceptRules)
{
    Loaded s(classifier());
    const std::string bytes = bytes_of(s.model);
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> headers;
        const char* target;
        bool download;
    } cases[] = {
        {"exact", {{"Accept", kKfm}}, "/v1/model", true},
        {"upper-case value and name", {{"ACCEPT", "APPLICATION/VND.KESTRUNE.KFM"}}, "/v1/model", true},
        {"target continues", {{"Accept", kKfm}}, "/v1/modelx", true},
        {"query", {{"Accept", kKfm}}, "/v1/model?x", true},
        {"value prefix", {{"Accept", "application/"}}, "/v1/model", false},
        {"value longer", {{"Accept", std::string(kKfm) + "x"}}, "/v1/model", false},
        {"name prefix", {{"Accep", kKfm}}, "/v1/model", false},
        {"second header decides", {{"Accept", "text/plain"}, {"Accept", kKfm}}, "/v1/model", true},
        {"no header", {}, "/v1/model", false},
    };
    for (const Case& c : cases) {
        Reply r = call(s, get(c.target, c.headers));
        ASSERT_EQ(r.status, 200) << c.name;
        if (c.download) {
            EXPECT_EQ(r.header("Content-Type"), kKfm) << c.name;
            EXPECT_EQ(r.body, bytes) << c.name;
        } else {
            EXPECT_EQ(r.header("Content-Type"), "application/json") << c.name;
            EXPECT_EQ(r.body.rfind("{\"model_name\":\"classifier\",\"uuid\":\"\",\"size\":" +
                                       std::to_string(bytes.size()) + ",",
                                   0),
                      0u)
                << c.name << ": " << r.body;
        }
    }
    // A continuation entry (no name) is skipped, whatever its value.
    Reply r = call(s, get("/v1/model", {{"", kKfm}}));
    EXPECT_EQ(r.header("Content-Type"), "application/json");
}

TEST(RtGet, ModelDescriptionKeysInOrder)
{
    Loaded s(classifier());
    Reply r = call(s, get("/v1/model"));
    ASSERT_EQ(r.status, 200);
    std::string expected_tail =
        "\"inputs\":[{\"index\":0,\"name\":\"input\",\"datatype\":\"FLOAT32\",\"scale\":0,\"zero_point\":0,"
        "\"shape\":[1,4]}],"
        "\"outputs\":[{\"index\":1,\"name\":\"output\",\"datatype\":\"FLOAT32\",\"scale\":0,\"zero_point\":0,"
        "\"shape\":[1,4]}],"
        "\"layer_count\":2,\"label_count\":4,\"labels\":[\"a\",\"b\",\"c\",\"d\"],\"timing\":0,"
        "\"timings\":{\"decode\":0,\"input\":0,\"output\":0},"
        "\"layers\":[{\"name\":\"input\",\"type\":\"input\",\"avg_timing\":0,\"tensor\":{\"datatype\":\"FLOAT32\",";
    EXPECT_NE(r.body.find(expected_tail), std::string::npos) << r.body;
    EXPECT_EQ(r.body.back(), '}');
    EXPECT_EQ(r.body.find("\"data\""), std::string::npos) << "no tensor data in the description";

    Reply engine = call(s, get("/"));
    EXPECT_NE(engine.body.find("\"model\":{\"uuid\":\"\",\"name\":\"classifier\",\"size\":" +
                               std::to_string(s.model.size()) + ","),
              std::string::npos)
        << engine.body;
    EXPECT_NE(engine.body.find("\"layer_count\":2,\"label_count\":4,\"labels\":[\"a\",\"b\",\"c\",\"d\"]},"),
              std::string::npos);
}

TEST(RtPut, BlocksWithReplyBetween)
{
    kfm::Buffer model = kfm::write(large((3u << 20) - 4096));
    std::string bytes = bytes_of(model);
    ASSERT_GT(bytes.size(), 2u * 1048576);
    ASSERT_LE(bytes.size(), 3u * 1048576);
    Server s;
    Reply first = call(s, put_parts({count_part("3"), block_part(bytes.substr(0, 1048576))}));
    EXPECT_EQ(first.status, 200);
    EXPECT_EQ(first.body, "{\"block\": 1, \"block_count\": 3}");
    Reply between = call(s, post("/v1/infer"));
    EXPECT_EQ(between.status, 428);
    EXPECT_EQ(call(s, get("/v1/model")).status, 428);
    Reply second = call(s, put_parts({block_part(bytes.substr(1048576, 1048576))}));
    EXPECT_EQ(second.body, "{\"block\": 2, \"block_count\": 3}");
    Reply last = call(s, put_parts({block_part(bytes.substr(2 * 1048576))}));
    EXPECT_EQ(last.status, 200);
    EXPECT_EQ(last.body, "{\"reply\": \"success\"}");
    EXPECT_NE(nn_server_model_validated(s), 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(nn_server_model(s)) % 16, 0u);
    Reply download = call(s, get("/v1/model", {{"Accept", kKfm}}));
    EXPECT_EQ(download.body, bytes);
    EXPECT_STREQ(nn_server_output_name(s), "output");
    EXPECT_STREQ(nn_server_input_name(s), "input");
}

TEST(RtPut, LargeBlocksAgainstTheMaximum)
{
    // Blocks of 1.5 MiB: the buffer announced for 2 blocks (2 MiB) is
    // smaller than what arrives (3 MiB), so it must grow keeping the first.
    kfm::Buffer model = kfm::write(large(3u << 20));
    std::string bytes = bytes_of(model);
    size_t half = bytes.size() / 2;
    struct Case {
        size_t max_model;
        const char* last_body;
    } cases[] = {
        {4u << 20, "{\"reply\": \"success\"}"},
        {2u << 20, "{\"error\": \"model too large\"}"},
    };
    for (const Case& c : cases) {
        Server s(c.max_model);
        Reply first = call(s, put_parts({count_part("2"), block_part(bytes.substr(0, half))}));
        EXPECT_EQ(first.body, "{\"block\": 1, \"block_count\": 2}") << c.max_model;
        Reply last = call(s, put_parts({block_part(bytes.substr(half))}));
        EXPECT_EQ(last.body, c.last_body) << c.max_model;
        if (c.max_model > bytes.size()) {
            EXPECT_EQ(call(s, get("/v1/model", {{"Accept", kKfm}})).body, bytes);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(nn_server_model(s)) % 16, 0u);
        } else {
            EXPECT_EQ(last.status, 507);
            EXPECT_EQ(nn_server_model_validated(s), 0);
        }
    }
}

TEST(RtPut, StatusesOfBadUploads)
{
    std::string good = bytes_of(kfm::write(classifier()));
    std::string oversize_part(4194305, 'x');
    struct Case {
        const char* name;
        std::string body;
        int status;
        const char* reply;
        size_t max_model = 8u << 20;
    } cases[] = {
        {"block_count 0", multipart({count_part("0")}), 400, "Invalid block_count value"},
        {"block_count not a number", multipart({count_part("many")}), 400, "Invalid block_count value"},
        {"block_count beyond the maximum", multipart({count_part("9")}), 400,
         "Requested model is larger than allowed"},
        {"block_count negative", multipart({count_part("-1")}), 400, "Requested model is larger than allowed"},
        {"block_count beyond 32 bits", multipart({count_part("4294967297")}), 400,
         "Requested model is larger than allowed"},
        {"unknown part", multipart({{"weights", "x", "", ""}}), 415, "Unsupported multi-part data"},
        {"body without parts", "just some bytes", 415, "Unsupported multi-part data"},
        {"ignored parts then model",
         multipart({{"model_name", "m", "", ""},
                    {"model_checksum", "0", "", ""},
                    {"block_size", "1", "", ""},
                    {"block_id", "0", "", ""},
                    block_part(good)}),
         200, "{\"reply\": \"success\"}"},
        {"invalid model", multipart({block_part("not a model at all")}), 200, "{\"error\": \"invalid model\"}"},
        {"block beyond the maximum", multipart({block_part(std::string(2u << 20, 'k'))}), 507,
         "{\"error\": \"model too large\"}", 1u << 20},
        {"empty body", "", 200, "{\"reply\": \"success\"}"},
    };
    for (const Case& c : cases) {
        Server s(c.max_model);
        Request r;
        r.method = "PUT";
        r.body = c.body;
        Reply reply;
        silenced_stderr([&] { reply = call(s, r); });
        EXPECT_EQ(reply.status, c.status) << c.name;
        EXPECT_EQ(reply.body, c.reply) << c.name;
    }
    // A part over 4 MiB ends the request without a reply.
    Server s(16u << 20);
    Request r;
    r.method = "PUT";
    r.body = multipart({block_part(oversize_part)});
    Reply reply;
    std::string err = silenced_stderr([&] { reply = call(s, r); });
    EXPECT_EQ(reply.result, -1);
    EXPECT_FALSE(reply.sent);
    EXPECT_EQ(err, "v1_put multipart element blob too large (4194305)\n");
}

TEST(RtPut, RuntimeRefusesModel)
{
    // Verifies, but the context cannot lay it out (an input that is not an
    // earlier layer).
    kfm::Model m = classifier();
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 4}),
                                       f32("output", NN_LAYER_RESHAPE, {1, 4}, {7})};
    Server s;
    Reply r;
    std::string err = silenced_stderr([&] { r = call(s, put_whole(bytes_of(kfm::write(m)))); });
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"error\": \"model load error\"}");
    EXPECT_NE(err.find("v1_put failed to load model: "), std::string::npos) << err;
    EXPECT_EQ(nn_server_model_validated(s), 0);
    // The next good upload loads.
    Reply ok = call(s, put_whole(bytes_of(kfm::write(classifier()))));
    EXPECT_EQ(ok.body, "{\"reply\": \"success\"}");
}

// Uploads the runtime refuses when it lays the model out, before any layer
// tensor is made: a conv2d declaring more rows than its 8x8 input gives (one
// byte of the demonstration model's [1, 6, 6, 3] changed), and a layer outside
// the pool past the 48 MiB a server without a pool allows.
TEST(RtPut, ImpossibleOrOversizedLayersAreRefusedPromptly)
{
    kfm::Model conv = classifier();
    kfm::Layer c = f32("conv", NN_LAYER_CONV2D, {1, 16777222, 6, 3}, {0, 1});
    c.parameters = std::vector<kfm::Parameter>{kfm_parts::ints("strides", {1, 1, 1, 1})};
    conv.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 8, 8, 3}),
                                          constant("filter", {3, 3, 3, 3}, std::vector<float>(81, 0.0f)),
                                          c};
    kfm::Model big = classifier();
    big.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 4096, 4096})};
    struct Case {
        const char* name;
        kfm::Model model;
        const char* message;
    } cases[] = {
        {"impossible conv2d rows", conv, "[ERROR] impossible shape for layer conv [conv2d]: "},
        {"input past the limit", big,
         "[ERROR] layer input [input] needs 67108864 bytes outside the memory pool, past the limit of "
         "50331648 bytes"},
    };
    for (const Case& k : cases) {
        Server s;
        Reply r;
        auto start = std::chrono::steady_clock::now();
        std::string err = silenced_stderr([&] { r = call(s, put_whole(bytes_of(kfm::write(k.model)))); });
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(r.status, 200) << k.name;
        EXPECT_EQ(r.body, "{\"error\": \"model load error\"}") << k.name;
        EXPECT_NE(err.find(k.message), std::string::npos) << k.name << ": " << err;
        EXPECT_EQ(nn_server_model_validated(s), 0) << k.name;
        EXPECT_LT(seconds, 5.0) << k.name;
    }
}

TEST(RtPut, InvalidAfterValidLeavesNoModel)
{
    Loaded s(classifier());
    Reply r;
    silenced_stderr([&] { r = call(s, put_whole("garbage bytes")); });
    EXPECT_EQ(r.body, "{\"error\": \"invalid model\"}");
    EXPECT_EQ(nn_server_model_validated(s), 0);
    EXPECT_EQ(call(s, get("/v1/model")).status, 428);
}

TEST(RtPut, PartsAfterLoadDoNotWriteUnderTheModel)
{
    // Two whole models in one PUT: the second replaces the first, which is
    // taken out before its bytes are overwritten.
    std::string a = bytes_of(kfm::write(classifier()));
    std::string b = bytes_of(kfm::write(chain10()));
    Server s;
    Reply r = call(s, put_parts({block_part(a), block_part(b)}));
    EXPECT_EQ(r.body, "{\"reply\": \"success\"}");
    EXPECT_EQ(call(s, get("/v1/model", {{"Accept", kKfm}})).body, b);
    EXPECT_EQ(nn_model_layer_count(nn_server_model(s)), 10u);
    EXPECT_STREQ(nn_server_output_name(s), "l9");
    EXPECT_STREQ(nn_server_input_name(s), "l0");
}

TEST(RtPut, LayerlessUploadKeepsNames)
{
    Server s;
    Reply r = call(s, put_whole(bytes_of(kfm::write(layerless()))));
    EXPECT_EQ(r.body, "{\"reply\": \"success\"}");
    EXPECT_STREQ(nn_server_output_name(s), "output");
    EXPECT_STREQ(nn_server_input_name(s), "input");
    Reply d = call(s, get("/v1/model"));
    EXPECT_NE(d.body.find("\"layer_count\":0,"), std::string::npos) << d.body;
}

TEST(RtPut, UploadReplacesMappedFile)
{
    TempDir dir;
    std::string path = dir.write("c.kfm", bytes_of(kfm::write(chain10())));
    Server s;
    ASSERT_EQ(nn_server_model_load(s, path.c_str(), 1), 0);
    std::string up = bytes_of(kfm::write(classifier()));
    EXPECT_EQ(call(s, put_whole(up)).body, "{\"reply\": \"success\"}");
    EXPECT_EQ(call(s, get("/v1/model", {{"Accept", kKfm}})).body, up);
}

}  // namespace
