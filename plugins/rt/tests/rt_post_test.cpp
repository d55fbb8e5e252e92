// Inference requests: query, inputs, running and the reply forms.
#include "rpc_fixture.h"
#include "rt_test_util.h"

using namespace rt_test;

namespace {

const char* const kTensor = "application/vnd.kestrune.tensor";
const char* const kFloat32 = "application/vnd.kestrune.tensor.float32";

// l0 input [1,4], then l1 ("conv/1") .. l9: fill layers writing i into the
// same memory, so the memory tells which layer ran last.
kfm::Model fill_chain()
{
    kfm::Model m = kfm_parts::fill_chain(10, "conv/1");
    m.name = "fills";
    return m;
}

struct Loaded : Server {
    explicit Loaded(const kfm::Model& m)
    {
        Reply r = call(s, put_whole(bytes_of(kfm::write(m))));
        EXPECT_EQ(r.body, "{\"reply\": \"success\"}");
    }
    float first_value(size_t layer)
    {
        nn_tensor* t = nn_context_tensor_index(nn_server_context(s), layer);
        const float* p = static_cast<const float*>(nn_tensor_mapro(t));
        float v = p ? p[0] : -1.0f;
        nn_tensor_unmap(t);
        return v;
    }
};

Request raw(const std::string& target, const std::vector<float>& v, const std::string& accept)
{
    return post(target, accept, kTensor, floats(v));
}

std::string json_value(const std::string& body, const std::string& key)
{
    size_t at = body.find("\"" + key + "\":");
    if (at == std::string::npos)
        return "<absent>";
    at += key.size() + 3;
    size_t end = body.find_first_of(",}", at);
    return body.substr(at, end - at);
}

TEST(RtPost, LabelReply)
{
    struct Case {
        bool labels;
        std::vector<float> input;
        const char* body;
        const char* softmax;
    } cases[] = {
        {true, {0.1f, 0.9f, 0.3f, 0.2f}, "b", "0.900000"},
        {true, {-4.0f, -3.0f, -2.0f, -1.5f}, "d", "-1.500000"},
        {false, {0.1f, 0.2f, 0.7f, 0.3f}, "2", "0.700000"},  // no labels: the index
    };
    for (const Case& c : cases) {
        Loaded s(classifier(c.labels));
        Reply r = call(s, raw("/v1/infer?run=1", c.input, "text/plain"));
        ASSERT_EQ(r.status, 200) << r.body;
        EXPECT_EQ(r.header("Content-Type"), "text/plain");
        EXPECT_EQ(r.body, c.body);
        ASSERT_GE(r.headers.size(), 2u);
        EXPECT_EQ(r.headers[r.headers.size() - 2].first, "X-Softmax");
        EXPECT_EQ(r.headers[r.headers.size() - 2].second, c.softmax);
        EXPECT_EQ(r.headers.back().first, "X-Model-Timing");
    }
}

TEST(RtPost, TensorReply)
{
    Loaded s(classifier());
    std::vector<float> in{1.5f, -2.0f, 0.25f, 8.0f};
    Reply r = call(s, raw("/v1/infer?run=1&output=output", in, kTensor));
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body, floats(in));
    ASSERT_GE(r.headers.size(), 3u);
    size_t n = r.headers.size();
    EXPECT_EQ(r.headers[n - 3], (std::pair<std::string, std::string>{"X-Tensor-Type", "FLOAT32"}));
    EXPECT_EQ(r.headers[n - 2], (std::pair<std::string, std::string>{"X-Tensor-Shape", "1 4 "}));
    EXPECT_EQ(r.headers[n - 1].first, "X-Model-Timing");
    // The tensor is unmapped after the reply: a write map succeeds.
    nn_tensor* t = nn_context_tensor(nn_server_context(s), "output");
    EXPECT_NE(nn_tensor_mapwo(t), nullptr);
    nn_tensor_unmap(t);

    Reply none = call(s, post("/v1/infer", kTensor));
    EXPECT_EQ(none.status, 204);
    EXPECT_EQ(none.header("Content-Type"), kTensor);
    EXPECT_EQ(none.body, "");
    Reply two = call(s, post("/v1/infer?output=input&output=output", kTensor));
    EXPECT_EQ(two.status, 400);
    EXPECT_EQ(two.body, "Only a single tensor can be returned using application/vnd.kestrune.tensor");
}

TEST(RtPost, QueryErrors)
{
    Loaded s(fill_chain());
    std::string many = "/v1/infer?";
    for (int i = 0; i < 17; ++i)
        many += "output=l2&";
    struct Case {
        std::string target;
        int status;
        const char* body;
    } cases[] = {
        {"/v1/infer?=3", 400, "Badly Formatted URL Query"},
        {"/v1/infer?run=1&&step=2", 400, "Badly Formatted URL Query"},
        {"/v1/infer?run", 400, "Badly Formatted URL Query"},
        {"/v1/infer?run=", 400, "Badly Formatted URL Query"},
        {"/v1/infer?run=abc", 400, "Badly Formatted URL Query"},
        {"/v1/infer?run=99999999999", 400, "Badly Formatted URL Query"},
        {"/v1/infer?step", 400, "Badly Formatted URL Query"},
        {"/v1/infer?step=1-", 400, "Badly Formatted URL Query"},
        {"/v1/infer?step=-3", 400, "Badly Formatted URL Query"},
        {"/v1/infer?step=x", 400, "Badly Formatted URL Query"},
        {"/v1/infer?output", 400, "Badly Formatted URL Query"},
        {"/v1/infer?output=" + std::string(128, 'n'), 400, "Badly Formatted URL Query"},
        {"/v1/infer?imgproc", 400, "Badly Formatted URL Query"},
        {"/v1/infer?step=10", 400, "Starting Step Out of Range"},
        {"/v1/infer?step=4294967295", 400, "Badly Formatted URL Query"},
        {"/v1/infer?output=nope", 404, "Output Tensor Not Found"},
        {"/v1/infer?output=conv%2f1", 404, "Output Tensor Not Found"},
        {many, 400, "Too Many Outputs Requested"},
        {"/v1/infer?imgproc=sharpen", 404, "Unsupported Image Processing Request"},
    };
    for (const Case& c : cases) {
        Reply r = call(s, post(c.target));
        EXPECT_EQ(r.status, c.status) << c.target;
        EXPECT_EQ(r.body, c.body) << c.target;
        EXPECT_EQ(r.header("Content-Type"), "text/plain") << c.target;
    }
    // Known-good queries for comparison.
    for (const char* target : {"/v1/infer?output=conv%2F1", "/v1/infer?IMGPROC=Normalize&other=1",
                               "/v1/infer?output=" "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"}) {
        Reply r = call(s, post(target));
        if (std::strstr(target, "nnnn"))
            EXPECT_EQ(r.status, 404) << "127 bytes are a name, just not a known one";
        else
            EXPECT_EQ(r.status, 200) << target << " " << r.body;
    }
}

TEST(RtPost, StepsAndRuns)
{
    Loaded s(fill_chain());
    struct Case {
        const char* target;
        float last_value;  // what the shared memory holds afterwards
    } cases[] = {
        {"/v1/infer?step=5", 5.0f},       // only layer 5
        {"/v1/infer?step=3-5", 4.0f},     // layers 3 and 4
        {"/v1/infer?step=3-100", 9.0f},   // up to the last layer
        {"/v1/infer?step=2-1", -7.0f},    // an empty range runs nothing
        {"/v1/infer?run=-2", -7.0f},      // runs nothing
        {"/v1/infer?run=2&step=3", 9.0f}, // run wins over step
        {"/v1/infer?run=100", 9.0f},      // the most runs a request may ask for
    };
    for (const Case& c : cases) {
        // Reset the shared memory through a raw input.
        Reply in = call(s, raw("/v1/infer", {-7, -7, -7, -7}, ""));
        ASSERT_EQ(in.status, 200) << in.body;
        ASSERT_EQ(s.first_value(0), -7.0f);
        Reply r = call(s, post(c.target));
        ASSERT_EQ(r.status, 200) << c.target << " " << r.body;
        EXPECT_EQ(s.first_value(0), c.last_value) << c.target;
    }
    Reply none = call(s, post("/v1/infer?run=-2"));
    EXPECT_EQ(json_value(none.body, "timing"), "0") << none.body;
    nn_server* raw_server = s;
    for (size_t i = 0; i < raw_server->layer_timing_count; ++i)
        EXPECT_EQ(raw_server->layer_timing[i], 0) << i;
}

// A run count past the bound is refused before anything runs: the model
// is not run once, and the server answers the next request at once.
TEST(RtPost, RunCountAboveTheBoundRunsNothing)
{
    Loaded s(fill_chain());
    for (const char* target : {"/v1/infer?run=101", "/v1/infer?run=2147483647", "/v1/infer?run=+2147483647&step=3"}) {
        Reply in = call(s, raw("/v1/infer", {-7, -7, -7, -7}, ""));
        ASSERT_EQ(in.status, 200) << in.body;
        Reply r = call(s, post(target));
        EXPECT_EQ(r.status, 400) << target;
        EXPECT_EQ(r.header("Content-Type"), "text/plain") << target;
        EXPECT_EQ(r.body, "Too Many Runs Requested (at most 100)") << target;
        EXPECT_EQ(s.first_value(0), -7.0f) << target << ": the model ran";
        Reply next = call(s, post("/v1/infer?run=1"));
        EXPECT_EQ(next.status, 200) << target;
        EXPECT_EQ(s.first_value(0), 9.0f) << target;
    }
}

// The serving program's stop hook (http.h), as brindlecast defines it:
// set here by the user operation below to play a SIGINT during a run.
bool stop_requested_by_test = false;

}  // namespace

extern "C" int http_serving_stopped(void) { return stop_requested_by_test; }

namespace {

int counted_runs = 0;

int count_and_stop_at_three(nn_context*, const char*, size_t)
{
    if (++counted_runs == 3)
        stop_requested_by_test = true;
    return 0;
}

// A program told to stop ends a request for many runs between two runs:
// the request answers with the runs made so far, and a request after the
// stop still runs the model once.
TEST(RtPost, StopRequestEndsManyRunsBetweenRuns)
{
    Server s;
    ASSERT_EQ(nn_context_user_ops_register(nn_server_context(s), count_and_stop_at_three), 0);
    Reply up = call(s, put_whole(bytes_of(rpc_test::user_op_model("count"))));
    ASSERT_EQ(up.body, "{\"reply\": \"success\"}");
    counted_runs = 0;  // the upload ran the model once
    stop_requested_by_test = false;
    Reply r = call(s, post("/v1/infer?run=100"));
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(counted_runs, 3);
    r = call(s, post("/v1/infer?run=5"));
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(counted_runs, 4);
    stop_requested_by_test = false;
    r = call(s, post("/v1/infer?run=5"));
    EXPECT_EQ(counted_runs, 9);
}

TEST(RtPost, RunZeroReportsTheLastRun)
{
    Loaded s(fill_chain());
    Reply three = call(s, post("/v1/infer?run=3&output=l9"));
    ASSERT_EQ(three.status, 200);
    std::string timing = json_value(three.body, "timing");
    EXPECT_NE(timing, "0");
    nn_server* raw_server = s;
    std::vector<int64_t> averages(raw_server->layer_timing, raw_server->layer_timing + 10);
    Reply again = call(s, post("/v1/infer?run=0&output=l9"));
    EXPECT_EQ(json_value(again.body, "timing"), timing);
    EXPECT_EQ(std::vector<int64_t>(raw_server->layer_timing, raw_server->layer_timing + 10), averages);
    Reply description = call(s, Request{"GET", "/v1/model", {}, ""});
    EXPECT_EQ(json_value(description.body, "timing"), timing);
    // The output object carries its data: four floats of 9.
    std::vector<float> nines(4, 9.0f);
    EXPECT_NE(again.body.find("\"outputs\":[{\"name\":\"l9\",\"type\":\"fill\",\"avg_timing\":"), std::string::npos)
        << again.body;
    EXPECT_NE(again.body.find("\"datatype\":\"FLOAT32\""), std::string::npos);
    EXPECT_NE(again.body.find("\"shape\":[1,4],\"data\":\"AAAQQQAAEEEAABBBAAAQQQ==\"}]"), std::string::npos)
        << again.body;
}

// input [1,4,4,1] -> conv2d 2x2 (filter "w") with a fused relu -> 2x2 max
// pool at stride 2 -> reshape [1,4] -> softmax; labels a..d.
kfm::Model real_layers()
{
    auto ints = [](const std::string& name, std::vector<int32_t> v) {
        kfm::Parameter p = kfm::parameter(name);
        p.shape = std::move(v);
        return p;
    };
    auto text = [](const std::string& name, const std::string& v) {
        kfm::Parameter p = kfm::parameter(name);
        p.data_str = std::vector<std::string>{v};
        return p;
    };
    kfm::Layer conv = f32("conv", NN_LAYER_CONV2D, {1, 4, 4, 1}, {0, 1});
    conv.parameters = std::vector<kfm::Parameter>{ints("strides", {1, 1, 1, 1}), ints("head", {0, 0, 0, 0}),
                                                  ints("tail", {0, 1, 1, 0}), text("activation", "relu")};
    kfm::Layer pool = f32("pool", NN_LAYER_POOL2D, {1, 2, 2, 1}, {2});
    pool.parameters = std::vector<kfm::Parameter>{ints("ksize", {1, 2, 2, 1}), ints("strides", {1, 2, 2, 1}),
                                                  text("pooling", "MAXIMUM")};
    kfm::Model m = classifier();
    m.name = "real";
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 4, 4, 1}),
                                       constant("w", {2, 2, 1, 1}, {0.5f, -1.0f, 0.25f, 1.0f}),
                                       conv,
                                       pool,
                                       f32("flat", NN_LAYER_RESHAPE, {1, 4}, {3}),
                                       f32("output", NN_LAYER_SOFTMAX, {1, 4}, {4})};
    m.inputs = std::vector<uint32_t>{0};
    m.outputs = std::vector<uint32_t>{5};
    return m;
}

TEST(RtPost, PerLayerTimingAndLabelOfRealLayers)
{
    Loaded s(real_layers());
    const std::vector<float> x = {1, 2, -1, 0.5f, -2, 3, 1, 1, 0, -1, 2, 4, 1.5f, 1, -3, 0};
    Reply in = call(s, raw("/v1/infer", x, ""));
    ASSERT_EQ(in.status, 200) << in.body;
    Reply r = call(s, post("/v1/infer?run=3", "text/plain"));
    ASSERT_EQ(r.status, 200) << r.body;
    // Reference: conv with a zero bottom/right border, relu, 2x2 max, softmax.
    const double w[2][2] = {{0.5, -1.0}, {0.25, 1.0}};
    auto at = [&](int y, int xx) { return y < 4 && xx < 4 ? (double)x[(size_t)(y * 4 + xx)] : 0.0; };
    double conv[4][4];
    for (int y = 0; y < 4; ++y)
        for (int xx = 0; xx < 4; ++xx) {
            double acc = 0;
            for (int i = 0; i < 2; ++i)
                for (int j = 0; j < 2; ++j)
                    acc += w[i][j] * at(y + i, xx + j);
            conv[y][xx] = std::max(0.0, acc);
        }
    std::vector<double> pooled;
    for (int y = 0; y < 2; ++y)
        for (int xx = 0; xx < 2; ++xx)
            pooled.push_back(std::max(std::max(conv[2 * y][2 * xx], conv[2 * y][2 * xx + 1]),
                                      std::max(conv[2 * y + 1][2 * xx], conv[2 * y + 1][2 * xx + 1])));
    const std::vector<double> want = softmax_of(pooled);
    const size_t top = (size_t)(std::max_element(want.begin(), want.end()) - want.begin());
    EXPECT_EQ(r.body, std::string(1, (char)('a' + top)));
    EXPECT_NEAR(std::stod(r.header("X-Softmax")), want[top], 1e-5);
    nn_tensor* out = nn_context_tensor(nn_server_context(s), "output");
    const float* q = static_cast<const float*>(nn_tensor_mapro(out));
    ASSERT_NE(q, nullptr);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_NEAR(q[i], want[i], 1e-6) << i;
    nn_tensor_unmap(out);
    // The layers that compute have their average time; input and constant none.
    nn_server* raw_server = s;
    ASSERT_EQ(raw_server->layer_timing_count, 6u);
    EXPECT_EQ(raw_server->layer_timing[0], 0);
    EXPECT_EQ(raw_server->layer_timing[1], 0);
    for (size_t i : {2u, 3u, 5u})
        EXPECT_GT(raw_server->layer_timing[i], 0) << i;
    Reply description = call(s, Request{"GET", "/v1/model", {}, ""});
    EXPECT_NE(description.body.find("{\"name\":\"conv\",\"type\":\"conv2d\",\"avg_timing\":" +
                                    std::to_string(raw_server->layer_timing[2]) + ","),
              std::string::npos)
        << description.body;
}

TEST(RtPost, InputErrors)
{
    struct Case {
        const char* name;
        kfm::Model model;
        Request request;
        int status;
        const char* body;
    } cases[] = {
        {"raw size", classifier(), raw("/v1/infer", {1, 2, 3}, ""), 400, "Input Tensor Size Mismatch"},
        {"not an image", classifier(), post("/v1/infer", "", "image/png", "hello"), 415,
         "Invalid or Unsupported Image Format"},
        {"float32 unknown tensor", classifier(),
         post("/v1/infer", "", "multipart/form-data; boundary=XyZ",
              multipart({{"nope", floats({1, 2, 3, 4}), "1,4", kFloat32}})),
         404, "Input Tensor Not Found"},
        {"float32 size", classifier(),
         post("/v1/infer", "", "multipart/form-data; boundary=XyZ",
              multipart({{"input", floats({1, 2, 3}), "1,4", kFloat32}})),
         400, "Input Tensor Size Mismatch"},
        {"float32 rank", classifier(),
         post("/v1/infer", "", "multipart/form-data; boundary=XyZ",
              multipart({{"input", floats({1, 2, 3, 4}), "1,4,1,1,1", kFloat32}})),
         400, "Input Tensor Rank Too High"},
        {"float32 shape", classifier(),
         post("/v1/infer", "", "multipart/form-data; boundary=XyZ",
              multipart({{"input", floats({1, 2, 3, 4}), "2,2", kFloat32}})),
         400, "POSTed Tensor Has Incorrect Shape"},
        {"float32 into a constant", with_constant(),
         post("/v1/infer", "", "multipart/form-data; boundary=XyZ",
              multipart({{"w", floats({1, 2, 3, 4}), "1,4", kFloat32}})),
         500, "Failed Map Input Tensor"},
        {"pixmap without input tensor", fill_chain(),
         post("/v1/infer", "", "multipart/form-data; boundary=XyZ",
              multipart({{"image", "P6\n2 2\n255\n" + std::string(12, 'a'), "p.ppm", "image/x-portable-pixmap"}})),
         404, "Input Tensor Not Found"},
        {"pixmap volume", image_model(),
         post("/v1/infer", "", "multipart/form-data; boundary=XyZ",
              multipart({{"image", "P6\n3 2\n255\n" + std::string(18, 'a'), "p.ppm", "image/x-portable-pixmap"}})),
         400, "Image does not match input volume"},
        {"pixmap short", image_model(),
         post("/v1/infer", "", "multipart/form-data; boundary=XyZ",
              multipart({{"image", "P6\n2 2\n255\n" + std::string(11, 'a'), "p.ppm", "image/x-portable-pixmap"}})),
         400, "Image does not match input volume"},
        {"pixmap without header", image_model(),
         post("/v1/infer", "", "multipart/form-data; boundary=XyZ",
              multipart({{"image", "P6", "p.ppm", "image/x-portable-pixmap"}})),
         400, "Image does not match input volume"},
    };
    for (Case& c : cases) {
        Loaded s(c.model);
        Reply r = call(s, c.request);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.body, c.body) << c.name;
    }
}

TEST(RtPost, RawInputIntoModelBytesRefused)
{
    // A hostile upload lists its constant as the input.
    kfm::Model m = with_constant();
    m.inputs = std::vector<uint32_t>{1};
    Loaded s(m);
    const float* before = static_cast<const float*>(nn_tensor_mapro(nn_context_tensor(nn_server_context(s), "w")));
    ASSERT_NE(before, nullptr);
    float kept = before[0];
    nn_tensor_unmap(nn_context_tensor(nn_server_context(s), "w"));
    Reply r = call(s, raw("/v1/infer", {9, 9, 9, 9}, ""));
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.body, "Failed Map Input Tensor");
    EXPECT_EQ(s.first_value(1), kept);
}

TEST(RtPost, Float32PartAndBuilderForm)
{
    Loaded s(softmax_classifier());
    Request r = post("/v1/infer?run=1&id=req-7", "", "multipart/form-data; boundary=XyZ",
                     multipart({{"input", floats({0.5f, 0.1f, 0.2f, 0.75f}), "1,4", kFloat32}}));
    Reply reply = call(s, r);
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    EXPECT_EQ(reply.body.rfind("{\"timing\":", 0), 0u);
    EXPECT_NE(reply.body.find(",\"decode\":0,\"input\":"), std::string::npos);
    const std::string tail = ",\"id\":\"req-7\",\"label\":\"d\",\"softmax\":";
    size_t at = reply.body.find(tail);
    ASSERT_NE(at, std::string::npos) << reply.body;
    EXPECT_EQ(reply.body.back(), '}');
    const double want = softmax_of({0.5, 0.1, 0.2, 0.75})[3];
    EXPECT_NEAR(std::stod(reply.body.substr(at + tail.size())), want, 1e-5) << reply.body;
    // An id without a value echoes the empty text; an untyped part is skipped.
    Request again = post("/v1/infer?id", "", "multipart/form-data; boundary=XyZ",
                         multipart({{"input", floats({9, 9, 9, 9}), "1,4", ""}}));
    Reply second = call(s, again);
    EXPECT_NE(second.body.find("\"id\":\"\",\"label\":\"d\""), std::string::npos) << second.body;
}

TEST(RtPost, PixmapForm)
{
    Loaded s(image_softmax_model());
    std::string pixels = {10, 20, 30, 40, 50, (char)255, 70, 80, 90, 100, 110, 120};
    std::string ppm = "P6\n2 2\n255\n" + pixels;
    Request r = post("/v1/infer", "", "multipart/form-data; boundary=XyZ",
                     multipart({{"image", ppm, "pic\\1.ppm", "image/x-portable-pixmap"}}));
    Reply reply = call(s, r);
    ASSERT_EQ(reply.status, 200) << reply.body;
    // The softmax of b / 127.5 - 1 over the twelve bytes, as a whole percentage.
    std::vector<double> x;
    for (char b : pixels)
        x.push_back((unsigned char)b / 127.5 - 1.0);
    const int percent = (int)(softmax_of(x)[5] * 100.0);
    ASSERT_GT(percent, 0);
    EXPECT_EQ(reply.body.rfind("[{\"id\":\"pic\\\\1.ppm\",\"label\":\"l5\",\"softmax\":" + std::to_string(percent) +
                                   ",\"timing\":{\"inference\":",
                               0),
              0u)
        << reply.body;
    EXPECT_NE(reply.body.find(",\"op_timings\":[{\"name\":\"input\",\"type\":\"input\",\"seconds\":"),
              std::string::npos);
    EXPECT_NE(reply.body.find("{\"name\":\"flat\",\"type\":\"reshape\",\"seconds\":"), std::string::npos);
    EXPECT_NE(reply.body.find("{\"name\":\"out\",\"type\":\"softmax\",\"seconds\":"), std::string::npos);
    EXPECT_EQ(reply.body.substr(reply.body.size() - 4), "]}}]");
    // The input holds b x 0.007843138 - 1 per byte.
    nn_tensor* in = nn_context_tensor(nn_server_context(s), "input");
    const float* p = static_cast<const float*>(nn_tensor_mapro(in));
    ASSERT_NE(p, nullptr);
    for (size_t i = 0; i < 12; ++i)
        EXPECT_NEAR(p[i], (unsigned char)pixels[i] / 127.5 - 1.0, 1e-5) << i;
    nn_tensor_unmap(in);

    // A part after the pixmap one: the builder form.
    Request mixed = post("/v1/infer", "", "multipart/form-data; boundary=XyZ",
                         multipart({{"image", ppm, "pic.ppm", "image/x-portable-pixmap"}, {"note", "x", "", ""}}));
    Reply builder = call(s, mixed);
    EXPECT_EQ(builder.body.rfind("{\"timing\":", 0), 0u) << builder.body;
}

TEST(RtPost, LabelReplyWithoutOutputTensor)
{
    Loaded s(layerless());
    Reply r = call(s, post("/v1/infer", "text/plain"));
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, "Output tensor not found");
    Reply j = call(s, post("/v1/infer"));
    EXPECT_EQ(j.status, 200);
    EXPECT_EQ(j.body, "{\"timing\":0,\"decode\":0,\"input\":0}");
}

}  // namespace

namespace {

TEST(RtPost, PixmapIntoNonFloatInputRefused)
{
    // An INT8 "input" in the memory pool: the pixmap path writes floats.
    kfm::Model m;
    m.memory_block_size = 16;
    m.memory_blocks = 4;
    kfm::Layer in = kfm::layer("input", NN_LAYER_INPUT, {1, 2, 2, 3});
    in.datatype = NN_TYPE_I8;
    in.mempool_offset = 0;
    in.scales = std::vector<float>{0.5f};
    in.zeros = std::vector<int32_t>{0};
    m.layers = std::vector<kfm::Layer>{in};
    nn_server* s = nn_server_init(0, 4096, nullptr, 0, nullptr, 1u << 20, nullptr);
    ASSERT_NE(s, nullptr);
    Reply up = call(s, put_whole(bytes_of(kfm::write(m))));
    ASSERT_EQ(up.body, "{\"reply\": \"success\"}");
    ASSERT_EQ(nn_tensor_type(nn_context_tensor(nn_server_context(s), "input")), NN_TYPE_I8);
    Reply r = call(s, post("/v1/infer", "", "multipart/form-data; boundary=XyZ",
                           multipart({{"image", "P6\n2 2\n255\n" + std::string(12, 'a'), "p.ppm",
                                       "image/x-portable-pixmap"}})));
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, "Input Tensor Size Mismatch");
    nn_server_release(s);
}

}  // namespace

namespace {

// "input" FLOAT32 [1, n] -> "output", a view of it.
kfm::Model wide(int32_t n)
{
    kfm::Model m;
    m.name = "wide";
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, n}),
                                       f32("output", NN_LAYER_RESHAPE, {1, n}, {0})};
    return m;
}

std::string outputs_query(int count)
{
    std::string target = "/v1/infer?run=1";
    for (int i = 0; i < count; ++i)
        target += "&output=output";
    return target;
}

}  // namespace

// The JSON reply carries each output's bytes as base64 (4/3 of them): one
// whose outputs would take more than 16 MiB is refused before it is
// written, and the reply buffer does not grow for it.
TEST(RtPost, JsonReplyAboveTheBoundIsRefused)
{
    Loaded s(wide(1 << 20));  // 4 MiB: 5592408 base64 characters
    nn_server* server = s;
    struct Case {
        int outputs;
        int status;
    } cases[] = {{2, 200}, {3, 500}, {16, 500}};
    for (const Case& c : cases) {
        Reply r = call(s, post(outputs_query(c.outputs)));
        ASSERT_EQ(r.status, c.status) << c.outputs;
        if (c.status == 200) {
            EXPECT_GT(r.body.size(), 2u * 5592408u) << c.outputs;
            EXPECT_EQ(r.header("Content-Type"), "application/json");
        } else {
            EXPECT_EQ(r.body, "JSON Response Too Large") << c.outputs;
            EXPECT_EQ(r.header("Content-Type"), "text/plain");
        }
        EXPECT_EQ(server->common.json.capacity, RT_MIN_REPLY_BUFFER) << c.outputs;
    }
    // The server goes on serving small replies.
    Reply small = call(s, Request{"GET", "/v1/model", {}, ""});
    EXPECT_EQ(small.status, 200);
}

// A reply buffer grown for one large reply goes back to its normal size
// once the reply is written; one that did not grow past the threshold
// stays as it is.
TEST(RtPost, OutsizedReplyBufferIsGivenBack)
{
    Loaded s(wide(1 << 18));  // 1 MiB: 1398104 base64 characters
    nn_server* server = s;
    Reply big = call(s, post(outputs_query(1)));
    ASSERT_EQ(big.status, 200);
    EXPECT_GT(big.body.size(), 1398104u);
    EXPECT_EQ(server->common.json.capacity, RT_MIN_REPLY_BUFFER);
    // The next reply is whole again.
    Reply again = call(s, post(outputs_query(2)));
    ASSERT_EQ(again.status, 200);
    EXPECT_GT(again.body.size(), 2u * 1398104u);
    EXPECT_EQ(again.body.back(), '}');
    EXPECT_EQ(server->common.json.capacity, RT_MIN_REPLY_BUFFER);

    Loaded narrow(wide(1 << 16));  // 256 KiB: under the threshold
    nn_server* kept = narrow;
    Reply r = call(narrow, post(outputs_query(1)));
    ASSERT_EQ(r.status, 200);
    EXPECT_GT(kept->common.json.capacity, 349528u);
    EXPECT_LE(kept->common.json.capacity, (uint64_t)RT_KEEP_BUFFER);
}
