// The OpenVX plug-in's HTTP handler through a socketpair and the real
// response writer: where it answers differently from the runtime plug-in,
// its failures (from the ovxlib stand-in's controls), and the upload.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ovx_models.h"
#include "ovx_server.h"
#include "ovxlib/ovxlib_test.h"
#include "linked_plugin.h"

namespace {

using namespace plugin_call;

const char* const kTensor = "application/vnd.kestrune.tensor";
const char* const kFloat32 = "application/vnd.kestrune.tensor.float32";
const char* const kJson = "application/json";
const char* const kText = "text/plain";

Request raw(const std::string& target, const std::vector<float>& v, const std::string& accept = "")
{
    return post(target, accept, kTensor, floats(v));
}

// The server with `model` uploaded whole.
void upload(nn_server* s, const kfm::Model& model)
{
    Reply r = call(s, put_whole(bytes_of(kfm::write(model))));
    ASSERT_EQ(r.status, 200);
    ASSERT_EQ(r.body, "{\"reply\": \"success\"}");
}

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The number after "key": in a JSON text (its first occurrence).
double number_at(const std::string& body, const std::string& key)
{
    size_t at = body.find("\"" + key + "\":");
    return at == std::string::npos ? -1.0 : std::atof(body.c_str() + at + key.size() + 3);
}

struct Row {
    const char* name;
    kfm::Model (*model)();
    std::function<Request()> request;
    int status;
    std::string content_type;
    std::string body = "";                                          // exact, unless `check` is given
    std::vector<std::pair<std::string, std::string>> headers = {};  // present with these values
    std::function<void(const Reply&)> check = nullptr;
    ovxlib_test_call fail = OVXLIB_CALL_KINDS;                 // this call fails once
    uint32_t run_delay_us = 0;
    int64_t runs = -1;                                         // RunGraph calls made; -1 unchecked
};

kfm::Model classifier()
{
    return ovx_models::classifier();
}
kfm::Model unlabelled()
{
    return ovx_models::classifier(false);
}

const std::vector<float> kInput{0.1f, 0.9f, 0.3f, 0.2f};

// How long the last request of run_rows took, for checks of its timings.
double last_call_ns = 0;

// 200 text/plain with the top-1 of a good request: the server still serves.
void still_serves(nn_server* s)
{
    ovxlib_tensor* in = ovx::graph_input(s);
    ASSERT_NE(in, nullptr);
    std::string bytes(vsi_nn_tensor_bytes(in), '\0');
    Reply r = call(s, post("/v1/infer?run=1", kText, kTensor, bytes));
    EXPECT_EQ(r.status, 200) << r.body;
}

void run_rows(const std::vector<Row>& rows)
{
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ovxlib_test_reset();
        Server s;
        upload(s, row.model());
        if (row.fail != OVXLIB_CALL_KINDS)
            ovxlib_test_fail_call(row.fail, 1);
        ovxlib_test_set_run_delay_us(row.run_delay_us);
        const uint64_t before = ovxlib_test_run_count();
        const auto start = std::chrono::steady_clock::now();
        Reply r = call(s, row.request());
        last_call_ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
        const uint64_t runs = ovxlib_test_run_count() - before;
        ovxlib_test_reset();
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.status, row.status) << r.body;
        EXPECT_EQ(r.header("Content-Type"), row.content_type);
        if (row.check) {
            row.check(r);
        } else {
            EXPECT_EQ(r.body, row.body);
        }
        for (const auto& h : row.headers)
            EXPECT_EQ(r.header(h.first), h.second) << h.first;
        if (row.runs >= 0) {
            EXPECT_EQ(runs, static_cast<uint64_t>(row.runs));
        }
        still_serves(s);
    }
}

// ---- inference -------------------------------------------------------------------

TEST(OvxPost, Replies)
{
    const std::vector<double> probs = ovx_models::softmax_of(kInput);
    run_rows({
        {"label", classifier, [] { return raw("/v1/infer?run=1", kInput, kText); }, 200, kText, "b",
         {{"X-Softmax", "0.900000"}}, nullptr, OVXLIB_CALL_KINDS, 0, 1},
        {"index without labels", unlabelled,
         [] { return raw("/v1/infer?run=1", {0.1f, 0.2f, 0.7f, 0.3f}, kText); }, 200, kText, "2",
         {{"X-Softmax", "0.700000"}}},
        {"tensor one byte short", classifier,
         [] { return post("/v1/infer?run=1", kText, kTensor, std::string(15, '\0')); }, 400, kText,
         "Input Tensor Size Mismatch", {}, nullptr, OVXLIB_CALL_KINDS, 0, 0},
        {"raw tensor reply", ovx_models::softmax_classifier,
         [] { return raw("/v1/infer?run=1&output=output", kInput, kTensor); }, 200, kTensor, "",
         {{"X-Tensor-Type", "FLOAT32"}, {"X-Tensor-Shape", "1 4 "}},
         [&](const Reply& r) {
             std::vector<float> got = values_of<float>(r.body);
             ASSERT_EQ(got.size(), 4u);
             for (size_t i = 0; i < 4; ++i)
                 EXPECT_NEAR(got[i], probs[i], 1e-6);
             EXPECT_EQ(r.headers.back().first, "X-Model-Timing");
         }},
        {"tensor reply without output", classifier, [] { return raw("/v1/infer?run=1", kInput, kTensor); }, 204,
         kTensor, ""},
        {"tensor reply of two outputs", classifier,
         [] { return raw("/v1/infer?output=input&output=output", kInput, kTensor); }, 400, kText,
         "Only a single tensor can be returned using application/vnd.kestrune.tensor"},
        {"json label", ovx_models::softmax_classifier, [] { return raw("/v1/infer?run=1&id=x7", kInput); }, 200,
         kJson, "", {},
         [&](const Reply& r) {
             EXPECT_EQ(r.body.find("{\"timing\":"), 0u) << r.body;
             EXPECT_TRUE(has(r.body, ",\"decode\":0,\"input\":")) << r.body;
             EXPECT_TRUE(has(r.body, ",\"id\":\"x7\",\"label\":\"b\",\"softmax\":")) << r.body;
             EXPECT_NEAR(number_at(r.body, "softmax"), probs[1], 1e-6);
         }},
        {"json without labels ends after the times", unlabelled, [] { return raw("/v1/infer?run=1", kInput); }, 200,
         kJson, "", {},
         [](const Reply& r) {
             EXPECT_FALSE(has(r.body, "label")) << r.body;
             EXPECT_EQ(r.body.back(), '}');
             EXPECT_TRUE(has(r.body, "\"input\":")) << r.body;
         }},
        {"float32 part of any name, no rank check", classifier,
         [] {
             Request r = post("/v1/infer?run=1", kText, "multipart/form-data; boundary=XyZ");
             r.body = multipart({Part("anything", floats({0.0f, 0.0f, 5.0f, 1.0f}), "1,2,3,4,5", kFloat32)});
             return r;
         },
         200, kText, "c"},
        {"float32 part of the wrong size", classifier,
         [] {
             Request r = post("/v1/infer?run=1", kText, "multipart/form-data; boundary=XyZ");
             r.body = multipart({Part("input", floats({1.0f, 2.0f}), "", kFloat32)});
             return r;
         },
         400, kText, "Input Tensor Size Mismatch"},
        {"pixmap part skipped, nothing run", classifier,
         [] {
             Request r = post("/v1/infer", kText, "multipart/form-data; boundary=XyZ");
             r.body = multipart({Part("input", "P6\n2 2\n255\n............", "x.ppm", "image/x-portable-pixmap")});
             return r;
         },
         200, kText, "a", {}, nullptr, OVXLIB_CALL_KINDS, 0, 0},
        {"step only range-checked", classifier, [] { return raw("/v1/infer?step=1", kInput, kText); }, 200, kText,
         "a", {}, nullptr, OVXLIB_CALL_KINDS, 0, 0},
        {"step out of range", classifier, [] { return raw("/v1/infer?step=2-5", kInput, kText); }, 400, kText,
         "Starting Step Out of Range"},
        {"unknown output", classifier, [] { return raw("/v1/infer?output=nope", kInput); }, 404, kText,
         "Output Tensor Not Found"},
        {"bad imgproc", classifier, [] { return raw("/v1/infer?imgproc=sharpen", kInput); }, 404, kText,
         "Unsupported Image Processing Request"},
        {"bad query", classifier, [] { return raw("/v1/infer?=1", kInput); }, 400, kText,
         "Badly Formatted URL Query"},
    });
}

TEST(OvxPost, RunsAndTheirFailures)
{
    run_rows({
        {"run=3: two warm-ups, three timed, their average", classifier,
         [] { return raw("/v1/infer?run=3", kInput); }, 200, kJson, "", {},
         [](const Reply& r) {
             // Each timed run sleeps 3 ms at least; five runs fit in the
             // request, so the average of three is at most a third of it.
             const double timing = number_at(r.body, "timing");
             EXPECT_GE(timing, 3e6) << r.body;
             EXPECT_LE(timing, last_call_ns / 3) << "the average, not the sum: " << r.body;
         },
         OVXLIB_CALL_KINDS, 3000, 5},
        {"run=-2 runs nothing, timing 0", classifier, [] { return raw("/v1/infer?run=-2", kInput); }, 200, kJson,
         "", {}, [](const Reply& r) { EXPECT_EQ(r.body.find("{\"timing\":0,"), 0u) << r.body; }, OVXLIB_CALL_KINDS,
         0, 0},
        {"failed run", classifier, [] { return raw("/v1/infer?run=1", kInput, kText); }, 500, kJson,
         "{\"error\":\"model error: internal error\"}", {}, nullptr, OVXLIB_CALL_RUN_GRAPH},
        {"input not copied", classifier, [] { return raw("/v1/infer?run=1", kInput, kText); }, 500, kText,
         "Failed Map Input Tensor", {}, nullptr, OVXLIB_CALL_COPY_DATA_TO_TENSOR, 0, 0},
        {"top-1 failed, text", classifier, [] { return raw("/v1/infer?run=1", kInput, kText); }, 500, kText,
         "ArgMax Error\n", {}, nullptr, OVXLIB_CALL_CONVERT_TENSOR_TO_DATA},
        {"top-1 failed, json", classifier, [] { return raw("/v1/infer?run=1", kInput); }, 500, kJson,
         "{\"error\":\"argmax failed: internal error\"}", {}, nullptr, OVXLIB_CALL_CONVERT_TENSOR_TO_DATA},
        {"no host copy of the output", classifier, [] { return raw("/v1/infer?output=output", kInput, kTensor); },
         500, kText, "Output Tensor Empty", {}, nullptr, OVXLIB_CALL_CONVERT_TENSOR_TO_DATA},
    });
}

TEST(OvxPost, GraphTensorsAsTheyAre)
{
    run_rows({
        {"INT8 output typed UINT8", ovx_models::int8_classifier,
         [] { return post("/v1/infer?run=1&output=output", kTensor, kTensor, std::string("\x01\x02\x7f\x00", 4)); },
         200, kTensor, "", {{"X-Tensor-Type", "UINT8"}, {"X-Tensor-Shape", "1 4 "}},
         [](const Reply& r) {
             // Stored +128: the graph holds these bytes as UINT8 with zero point 125.
             EXPECT_EQ(r.body, std::string("\x01\x02\x7f\x00", 4));
         }},
        {"virtual output without data", ovx_models::hidden_softmax,
         [] { return raw("/v1/infer?run=1&output=hidden&output=output", kInput); }, 200, kJson, "", {},
         [](const Reply& r) {
             EXPECT_TRUE(has(r.body, "\"outputs\":[{\"name\":\"hidden\",\"type\":\"relu\",\"avg_timing\":0,"
                                     "\"datatype\":\"FLOAT32\",\"timing\":0,\"io_timing\":0,\"shape\":[1,4]},"
                                     "{\"name\":\"output\",\"type\":\"softmax\",\"avg_timing\":0,"
                                     "\"datatype\":\"FLOAT32\",\"timing\":0,\"io_timing\":0,\"shape\":[1,4],"
                                     "\"data\":\""))
                 << r.body;
         }},
        {"virtual output as a tensor", ovx_models::hidden_softmax,
         [] { return raw("/v1/infer?run=1&output=hidden", kInput, kTensor); }, 500, kText, "Output Tensor Empty"},
        {"skipped layer's object", ovx_models::with_skipped, [] { return raw("/v1/infer?run=1&output=unused", kInput); },
         200, kJson, "", {},
         [](const Reply& r) {
             EXPECT_TRUE(has(r.body, "\"outputs\":[{\"name\":\"unused\",\"type\":\"constant\",\"avg_timing\":0}]"))
                 << r.body;
         }},
        {"skipped layer as a tensor", ovx_models::with_skipped,
         [] { return raw("/v1/infer?output=unused", kInput, kTensor); }, 404, kText, "Output Tensor Not Found"},
    });
}

// An 8x8 picture, dark but for one bright pixel: its interleaved position
// (y * 8 + x) * 3 + c is the top-1 index of the softmax over the raw input.
// The picture goes into the graph's first input, whose layer tensor (after
// the graph's permutation to NCHW) holds it plane by plane once run.
TEST(OvxPost, PictureIntoInputZero)
{
    auto pixel = [](int x, int y) {
        return std::array<uint8_t, 3>{static_cast<uint8_t>(3 * x), static_cast<uint8_t>(x == 5 && y == 2 ? 250 : 10),
                                      static_cast<uint8_t>(7 * y)};
    };
    const std::string picture = ovx_models::bmp(8, 8, pixel);
    run_rows({
        {"bmp", ovx_models::image_softmax, [&] { return post("/v1/infer?run=1", kText, "image/bmp", picture); },
         200, kText, std::to_string((2 * 8 + 5) * 3 + 1)},
        {"normalised, plane by plane in the input layer", ovx_models::image_softmax,
         [&] { return post("/v1/infer?run=1&imgproc=normalize&output=input", kTensor, "image/bmp", picture); },
         200, kTensor, "", {{"X-Tensor-Type", "FLOAT32"}, {"X-Tensor-Shape", "1 3 8 8 "}},
         [&](const Reply& r) {
             const std::vector<float> got = values_of<float>(r.body);
             ASSERT_EQ(got.size(), 192u);
             for (int c = 0; c < 3; ++c)
                 for (int y = 0; y < 8; ++y)
                     for (int x = 0; x < 8; ++x)
                         EXPECT_NEAR(got[static_cast<size_t>(c * 64 + y * 8 + x)], pixel(x, y)[c] / 255.0, 1e-6)
                             << c << " " << y << " " << x;
         }},
        {"not a picture", ovx_models::image_softmax,
         [] { return post("/v1/infer?run=1", kText, "image/png", "not a png"); }, 415, kText,
         "Invalid or Unsupported Image Format"},
    });
}

// ---- descriptions ---------------------------------------------------------------------

TEST(OvxGet, EngineDescription)
{
    ovxlib_test_reset();
    Server s(5u << 20);
    Request get;
    Reply r = call(s, get);
    ASSERT_EQ(r.status, 200);
    const std::string api = vsi_nn_GetVersion();
    EXPECT_EQ(r.body.find(std::string("{\"engine\":\"kestrunert openvx\",\"version\":\"") + nn_version() +
                          "\",\"batch_size\":1,"),
              0u)
        << r.body;
    EXPECT_TRUE(has(r.body, "\"device\":{\"api\":\"" + api + "\",\"id\":\"VPU (NPU/GPU)\",\"arch\":\"armv8\"}"))
        << r.body;
    EXPECT_TRUE(has(r.body, "\"model\":null,")) << r.body;
    EXPECT_FALSE(has(r.body, "\"plugin\"")) << r.body;
    EXPECT_TRUE(has(r.body, "\"model_limits\":{\"block_size\":1048576,\"max_layers\":1024,\"max_input_size\":607500,"
                            "\"max_data_cache\":0,\"max_model_size\":5242880,\"max_runtime_mem\":0}}"))
        << r.body;
    upload(s, ovx_models::classifier());
    r = call(s, get);
    EXPECT_TRUE(has(r.body, "\"model\":{\"uuid\":\"\",\"name\":\"classifier\",\"size\":")) << r.body;
    EXPECT_TRUE(has(r.body, "\"layer_count\":2,\"label_count\":4,\"labels\":[\"a\",\"b\",\"c\",\"d\"]}")) << r.body;
}

TEST(OvxGet, ModelDescription)
{
    ovxlib_test_reset();
    Server s;
    Request get;
    get.target = "/v1/model";
    Reply r = call(s, get);
    EXPECT_EQ(r.status, 428);
    EXPECT_EQ(r.body, "{\"status\": \"no model loaded\"}");

    upload(s, ovx_models::with_skipped());
    ASSERT_EQ(call(s, raw("/v1/infer?run=1", kInput, kText)).status, 200);
    r = call(s, get);
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.header("Content-Type"), kJson);
    EXPECT_TRUE(has(r.body, "\"inputs\":[{\"index\":0,\"name\":\"input\",\"datatype\":\"FLOAT32\",\"scale\":0,"
                            "\"zero_point\":0,\"shape\":[1,4]}],"))
        << r.body;
    EXPECT_TRUE(has(r.body, "\"timings\":{\"decode\":0,\"input\":")) << r.body;
    EXPECT_TRUE(has(r.body, ",\"output\":0},\"layers\":[{\"name\":\"input\",\"type\":\"input\",\"avg_timing\":0,"
                            "\"tensor\":{\"datatype\":\"FLOAT32\",\"timing\":0,\"io_timing\":0,\"shape\":[1,4]}},"
                            "{\"name\":\"unused\",\"type\":\"constant\",\"avg_timing\":0},"))
        << r.body;
    EXPECT_FALSE(has(r.body, "\"data\"")) << r.body;

    // The quantised model's INT8 layers are UINT8 in the graph.
    upload(s, ovx_models::int8_classifier());
    r = call(s, get);
    EXPECT_TRUE(has(r.body, "\"outputs\":[{\"index\":1,\"name\":\"output\",\"datatype\":\"UINT8\",\"scale\":0.5,"
                            "\"zero_point\":-3,"))
        << r.body;
}

TEST(OvxGet, ModelDownloadAndOtherMethods)
{
    ovxlib_test_reset();
    Server s;
    const std::string bytes = bytes_of(kfm::write(ovx_models::classifier()));
    Request get;
    get.target = "/v1/model";
    get.headers = {{"Accept", "application/vnd.kestrune.kfm"}};
    EXPECT_EQ(call(s, get).body, "No Model Loaded");
    ASSERT_EQ(call(s, put_whole(bytes)).status, 200);
    Reply r = call(s, get);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, bytes);
    Request options;
    options.method = "OPTIONS";
    EXPECT_EQ(call(s, options).status, 204);
    Request del;
    del.method = "DELETE";
    r = call(s, del);
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, "Not Found");
}

// ---- upload ------------------------------------------------------------------------------

Request put_parts(std::vector<Part> parts)
{
    Request r = put_whole("");
    r.body = multipart(parts);
    return r;
}

TEST(OvxPut, ThreeBlocksWithPostsBetween)
{
    ovxlib_test_reset();
    Server s;
    upload(s, unlabelled());  // a loaded model goes with the first block
    const std::string bytes = bytes_of(kfm::write(ovx_models::softmax_classifier()));
    const size_t third = bytes.size() / 3;
    const std::string blocks[] = {bytes.substr(0, third), bytes.substr(third, third), bytes.substr(2 * third)};
    for (int i = 0; i < 3; ++i) {
        std::vector<Part> parts;
        if (i == 0)
            parts.emplace_back("block_count", "3");
        parts.emplace_back("block_content", blocks[i], "model.kfm", "application/octet-stream");
        Reply r = call(s, put_parts(parts));
        ASSERT_EQ(r.status, 200);
        if (i < 2) {
            EXPECT_EQ(r.body, "{\"block\": " + std::to_string(i + 1) + ", \"block_count\": 3}");
            Reply between = call(s, raw("/v1/infer?run=1", kInput, kText));
            EXPECT_EQ(between.status, 428);
            EXPECT_EQ(between.body, "No Model Loaded");
        } else {
            EXPECT_EQ(r.body, "{\"reply\": \"success\"}");
        }
    }
    EXPECT_EQ(call(s, raw("/v1/infer?run=1", kInput, kText)).body, "b");
    Request get;
    get.target = "/v1/model";
    get.headers = {{"Accept", "application/vnd.kestrune.kfm"}};
    EXPECT_EQ(call(s, get).body, bytes);
}

TEST(OvxPut, CorruptUploadLeavesNoModel)
{
    ovxlib_test_reset();
    Server s;
    upload(s, classifier());
    std::string junk = bytes_of(kfm::write(classifier()));
    junk[4] = 'X';  // not "KFMx"
    testing::internal::CaptureStderr();
    Reply r = call(s, put_whole(junk));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"error\": \"invalid model\"}");
    EXPECT_EQ(err.rfind("v1_put failed to validate model: ", 0), 0u) << err;
    EXPECT_EQ(call(s, raw("/v1/infer?run=1", kInput, kText)).status, 428);
    EXPECT_EQ(ovxlib_test_live_graphs(), 0u);
    upload(s, classifier());
    EXPECT_EQ(call(s, raw("/v1/infer?run=1", kInput, kText)).body, "b");
}

TEST(OvxPut, ModelTheGraphLibraryRefuses)
{
    ovxlib_test_reset();
    Server s;
    testing::internal::CaptureStderr();
    Reply r = call(s, put_whole(bytes_of(kfm::write(ovx_models::gru_model()))));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"error\": \"model load error\"}");
    EXPECT_TRUE(has(err, "[ERROR]VSI Graph Build failure\nv1_put failed to load model: internal error\n")) << err;
    EXPECT_EQ(call(s, raw("/v1/infer?run=1", kInput, kText)).status, 428);
}

// An upload after a mapped model: the mapping goes, the upload buffer holds
// the new model from its aligned start.
TEST(OvxPut, UploadAfterAMappedModel)
{
    ovxlib_test_reset();
    kfm_parts::TempDir dir;
    Server s;
    ASSERT_EQ(nn_server_model_load(s, dir.file("m.kfm", kfm::write(unlabelled())).c_str(), 1), 0);
    // A first upload sizes the buffer; the second needs no growth.
    upload(s, classifier());
    ASSERT_EQ(nn_server_model_load(s, dir.file("m.kfm", kfm::write(unlabelled())).c_str(), 1), 0);
    EXPECT_EQ(call(s, raw("/v1/infer?run=1", kInput, kText)).body, "1");
    upload(s, classifier());
    EXPECT_EQ(s.s->mapped, 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(nn_server_model(s)) % 16, 0u);
    EXPECT_EQ(call(s, raw("/v1/infer?run=1", kInput, kText)).body, "b");
}

}  // namespace
