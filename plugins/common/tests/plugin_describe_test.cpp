// The JSON documents every engine plug-in writes, driven through hook
// records as a plug-in fills them: output objects (every shape width, with
// and without data), the reply head, the error object, layer objects, the
// inputs/outputs lists and both descriptions.  Expected texts are written
// out by hand.
#include "plugin_describe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "plugin_labels.h"
#include "shared_test.h"

namespace {

using shared_test::Server;

// A document written by `write` into a small buffer (so that it grows), its
// trailing ',' removed.
template <typename Write>
std::string document(Write write)
{
    json_buffer json{static_cast<char*>(malloc(8)), 8};
    json.text[0] = '\0';
    plugin::JsonWriter out(json);
    write(out);
    std::string text = out ? std::string(json.text, json_end(json.text, out.pos())) : "(failed)";
    free(json.text);
    return text;
}

TEST(PluginOutputObject, EveryShapeWidthAndTheData)
{
    const int32_t i32[] = {1, 2, 3};
    const uint32_t u32[] = {4000000000u, 1};
    const int64_t i64[] = {-1, 5000000000};
    const float one = 1.0f;
    EXPECT_EQ(document([&](plugin::JsonWriter& out) {
                  plugin::write_output(out, {"out", "FLOAT32", plugin::ShapeView(i32, 3), 12, 3, &one, 4});
              }),
              "{\"name\":\"out\",\"datatype\":\"FLOAT32\",\"shape\":[1,2,3],\"timing\":12,\"io_timing\":3,"
              "\"data\":\"AACAPw==\"}");
    EXPECT_EQ(document([&](plugin::JsonWriter& out) {
                  plugin::write_output(out, {"a\"b", "UINT8", plugin::ShapeView(u32, 2), 0, 0, "abc", 3});
              }),
              "{\"name\":\"a\\\"b\",\"datatype\":\"UINT8\",\"shape\":[4000000000,1],\"timing\":0,\"io_timing\":0,"
              "\"data\":\"YWJj\"}");
    // No bytes: no "data"; no name: an empty one; no extents: an empty shape.
    EXPECT_EQ(document([&](plugin::JsonWriter& out) {
                  plugin::write_output(out, {nullptr, "INT64", plugin::ShapeView(i64, 2), -5, 7, nullptr, 16});
              }),
              "{\"name\":\"\",\"datatype\":\"INT64\",\"shape\":[-1,5000000000],\"timing\":-5,\"io_timing\":7}");
    EXPECT_EQ(document([&](plugin::JsonWriter& out) {
                  plugin::write_output(out, {"s", "INT8", plugin::ShapeView(), 0, 0, "", 0});
              }),
              "{\"name\":\"s\",\"datatype\":\"INT8\",\"shape\":[],\"timing\":0,\"io_timing\":0,\"data\":\"\"}");
}

TEST(PluginOutputObject, BoundCoversTheObject)
{
    std::string data(1000, '\xff');
    const int64_t dims[] = {INT64_MIN, INT64_MIN, INT64_MIN, INT64_MIN};
    const std::string name(40, '\x01');  // 6 characters each when escaped
    const std::string text = document([&](plugin::JsonWriter& out) {
        plugin::write_output(out, {name.c_str(), "FLOAT32", plugin::ShapeView(dims, 4), INT64_MIN, INT64_MIN,
                                   data.data(), data.size()});
    });
    EXPECT_LE(text.size(), plugin::output_object_bound(name.c_str(), "FLOAT32", 4, data.size()));
    EXPECT_EQ(plugin::output_object_bound("x", "FLOAT32", 1, UINT64_MAX), UINT64_MAX);
    EXPECT_EQ(plugin::output_object_bound("x", "FLOAT32", SIZE_MAX, 1), UINT64_MAX);
}

TEST(PluginReplyHead, TimingsAndId)
{
    EXPECT_EQ(document([](plugin::JsonWriter& out) {
                  out.open_object();
                  plugin::write_reply_head(out, 10, 20, 30, nullptr);
                  out.close_object();
              }),
              "{\"timing\":10,\"decode\":20,\"input\":30}");
    EXPECT_EQ(document([](plugin::JsonWriter& out) {
                  out.open_object();
                  plugin::write_reply_head(out, 1, 2, 3, "req-7");
                  out.close_object();
              }),
              "{\"timing\":1,\"decode\":2,\"input\":3,\"id\":\"req-7\"}");
}

TEST(PluginErrorObject, ReplacesTheBufferAndCutsLongTexts)
{
    Server srv;
    json_buffer& json = srv.s.common.json;
    char* end = error_json(json.text, srv.get(), "model error: %s", "internal error");
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(std::string(json.text, json_end(json.text, end)), "{\"error\":\"model error: internal error\"}");
    const std::string long_text(2000, 'e');
    testing::internal::CaptureStderr();
    end = error_json(json.text, srv.get(), "%s", long_text.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "error_json: error truncated from length 2000\n");
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(std::string(json.text, json_end(json.text, end)), "{\"error\":\"" + std::string(1023, 'e') + "\"}");
}

// ---- layers, lists and descriptions -------------------------------------------------------

// Two layers: 0 "conv" with a tensor (and data), 1 "pool" without one.
const int32_t layer_shape[] = {1, 2};

const char* layer_name(void*, size_t layer)
{
    return layer == 0 ? "conv" : nullptr;
}
const char* layer_type(void*, size_t layer)
{
    return layer == 0 ? "conv_2d" : "pool";
}
int64_t layer_timing(void*, size_t layer)
{
    return 100 + static_cast<int64_t>(layer);
}
bool layer_tensor(void*, size_t layer, plugin::LayerTensor* t)
{
    if (layer != 0)
        return false;
    *t = {"UINT8", 5, 6, plugin::ShapeView(layer_shape, 2)};
    return true;
}
void layer_data(void*, size_t, plugin::JsonWriter& out)
{
    out.base64("data", "ab", 2);
}

const plugin::LayerHooks layers = {nullptr, layer_name, layer_type, layer_timing, layer_tensor, layer_data};

TEST(PluginLayerObject, TensorFieldsNestedOrNotAndData)
{
    auto layer = [](size_t index, bool data, bool nested) {
        return document([&](plugin::JsonWriter& out) { plugin::write_layer(out, layers, index, data, nested); });
    };
    EXPECT_EQ(layer(0, false, true), "{\"name\":\"conv\",\"type\":\"conv_2d\",\"avg_timing\":100,\"tensor\":{"
                                     "\"datatype\":\"UINT8\",\"timing\":5,\"io_timing\":6,\"shape\":[1,2]}}");
    EXPECT_EQ(layer(0, true, false), "{\"name\":\"conv\",\"type\":\"conv_2d\",\"avg_timing\":100,"
                                     "\"datatype\":\"UINT8\",\"timing\":5,\"io_timing\":6,\"shape\":[1,2],"
                                     "\"data\":\"YWI=\"}");
    EXPECT_EQ(layer(1, true, true), "{\"name\":\"\",\"type\":\"pool\",\"avg_timing\":101}");
}

void io_entry(void*, size_t i, plugin::IoEntry* e)
{
    static const int64_t shape[] = {1, 3, 224, 224};
    *e = {static_cast<uint32_t>(7 + i), i ? "second" : "first", "FLOAT32", 0.5, -3, plugin::ShapeView(shape, 4)};
}

TEST(PluginDescriptions, ModelDescriptionOfAnOutsideLibrary)
{
    // No indices, no layers, the plug-in's own labels (Arm NN's form).
    Server srv;
    ASSERT_EQ(plugin_labels_load(srv.get(), "cat\ndog", 7), 0);
    const plugin::ModelDescription d{
        {nullptr, nullptr, 1234, 0, 0, plugin::common_labels(srv.get())},
        {nullptr, 1, false, io_entry},
        {nullptr, 2, false, io_entry},
        11,
        22,
        33,
        44,
        nullptr,
    };
    char* end = plugin::write_model_description(srv.s.common.json, d);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(std::string(srv.s.common.json.text, json_end(srv.s.common.json.text, end)),
              "{\"model_name\":\"\",\"uuid\":\"\",\"size\":1234,\"memory_size\":0,"
              "\"inputs\":[{\"name\":\"first\",\"datatype\":\"FLOAT32\",\"scale\":0.5,\"zero_point\":-3,"
              "\"shape\":[1,3,224,224]}],"
              "\"outputs\":[{\"name\":\"first\",\"datatype\":\"FLOAT32\",\"scale\":0.5,\"zero_point\":-3,"
              "\"shape\":[1,3,224,224]},{\"name\":\"second\",\"datatype\":\"FLOAT32\",\"scale\":0.5,"
              "\"zero_point\":-3,\"shape\":[1,3,224,224]}],"
              "\"layer_count\":0,\"label_count\":2,\"labels\":[\"cat\",\"dog\"],\"timing\":11,"
              "\"timings\":{\"decode\":22,\"input\":33,\"output\":44}}");
}

TEST(PluginDescriptions, ModelDescriptionWithIndicesAndLayers)
{
    Server srv;
    const char* names[] = {"a", nullptr};
    const plugin::LabelList labels{names, 2, [](void* user, int i) { return static_cast<const char**>(user)[i]; }};
    const plugin::ModelDescription d{
        {"net", "u-1", 10, 20, 2, labels}, {nullptr, 1, true, io_entry}, {nullptr, 0, true, io_entry}, 0, 0, 0, 0,
        &layers,
    };
    char* end = plugin::write_model_description(srv.s.common.json, d);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(std::string(srv.s.common.json.text, json_end(srv.s.common.json.text, end)),
              "{\"model_name\":\"net\",\"uuid\":\"u-1\",\"size\":10,\"memory_size\":20,"
              "\"inputs\":[{\"index\":7,\"name\":\"first\",\"datatype\":\"FLOAT32\",\"scale\":0.5,"
              "\"zero_point\":-3,\"shape\":[1,3,224,224]}],"
              "\"layer_count\":2,\"label_count\":2,\"labels\":[\"a\",\"\"],\"timing\":0,"
              "\"timings\":{\"decode\":0,\"input\":0,\"output\":0},\"layers\":["
              "{\"name\":\"conv\",\"type\":\"conv_2d\",\"avg_timing\":100,\"tensor\":{\"datatype\":\"UINT8\","
              "\"timing\":5,\"io_timing\":6,\"shape\":[1,2]}},"
              "{\"name\":\"\",\"type\":\"pool\",\"avg_timing\":101}]}");
}

void delegate(void*, plugin::JsonWriter& out)
{
    out.str("Delegate", "CPU");
}

TEST(PluginDescriptions, EngineDescriptionKeysInOrder)
{
    Server srv;
    const plugin::ModelSummary model{"m", "id", 1, 2, 3, plugin::LabelList{nullptr, 0, nullptr}};
    plugin::EngineDescription d{"TensorFlow Lite", "2.4.1", "", "cpu:0", nullptr, nullptr, delegate, 0, 99, 0};
    char* end = plugin::write_engine_description(srv.s.common.json, d);
    ASSERT_NE(end, nullptr);
    std::string text(srv.s.common.json.text, json_end(srv.s.common.json.text, end));
    EXPECT_EQ(text.rfind("{\"engine\":\"TensorFlow Lite\",\"version\":\"2.4.1\",\"batch_size\":1,", 0), 0u) << text;
    const std::string tail = "\"model\":null,\"Delegate\":\"CPU\",\"model_limits\":{\"block_size\":1048576,"
                             "\"max_layers\":1024,\"max_input_size\":607500,\"max_data_cache\":0,"
                             "\"max_model_size\":99,\"max_runtime_mem\":0}}";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    // The host's device, when it knows one, carries the engine's api and id first.
    const size_t device = text.find("\"device\":{");
    if (device != std::string::npos) {
        EXPECT_EQ(text.find("\"device\":{\"api\":\"\",\"id\":\"cpu:0\""), device) << text;
    }

    d.model = &model;
    d.extra = nullptr;
    d.device_api = "1.2";
    end = plugin::write_engine_description(srv.s.common.json, d);
    ASSERT_NE(end, nullptr);
    text.assign(srv.s.common.json.text, json_end(srv.s.common.json.text, end));
    EXPECT_NE(text.find("\"model\":{\"uuid\":\"id\",\"name\":\"m\",\"size\":1,\"memory_size\":2,\"layer_count\":3,"
                        "\"label_count\":0,\"labels\":[]},\"model_limits\":"),
              std::string::npos)
        << text;
}

}  // namespace
