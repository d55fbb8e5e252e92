// Helpers of the ONNX plug-in suites: the built plug-in opened with dlopen,
// fixture models written with the test ONNX writer, requests to its HTTP
// handler, and a recording copy of ONNX Runtime's API table.
#ifndef BRINDLECAST_ONNX_TEST_SUPPORT_H
#define BRINDLECAST_ONNX_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "onnx_server.h"
#include "onnx_writer.h"
#include "plugin_call.h"
#include "temp_dir.h"

namespace onnx_test {

using onnxtest::Graph;
using onnxtest::Value;

// ---- the plug-in -------------------------------------------------------------

// The plug-in opened once per process, its record filled by nn_plugin_init
// and the helpers it exports.
struct Plugin {
    void* handle = nullptr;
    nn_plugin record = {};
    const char* engine_name = nullptr;
    decltype(&onnx_check_status) check_status = nullptr;
    decltype(&onnx_element_size) element_size = nullptr;
    decltype(&TensorTypeName) type_name = nullptr;
    decltype(&onnx_model_label) model_label = nullptr;
    decltype(&onnx_tensor_load_image_ex) load_image = nullptr;

    static Plugin& get()
    {
        static Plugin plugin;
        return plugin;
    }
    bool ok() const { return record.nn_server_init != nullptr && load_image != nullptr; }

private:
    Plugin()
    {
        handle = dlopen(ONNX_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            fprintf(stderr, "dlopen: %s\n", dlerror());
            return;
        }
        auto init = reinterpret_cast<nn_plugin_init_fn>(dlsym(handle, NN_PLUGIN_INIT_SYMBOL));
        if (!init || init(&record) != 0)
            return;
        engine_name = static_cast<const char*>(dlsym(handle, "engine_name"));
        sym(check_status, "onnx_check_status");
        sym(element_size, "onnx_element_size");
        sym(type_name, "TensorTypeName");
        sym(model_label, "onnx_model_label");
        sym(load_image, "onnx_tensor_load_image_ex");
    }
    template <typename F>
    void sym(F& f, const char* name)
    {
        f = reinterpret_cast<F>(dlsym(handle, name));
    }
};

inline const nn_plugin& engine()
{
    return Plugin::get().record;
}

// A server of the plug-in, released at the end of the scope.
struct Server {
    nn_server* s = nullptr;
    explicit Server(int compute = 0, size_t max_model_size = 64u << 20)
    {
        s = engine().nn_server_init(compute, 0, nullptr, 0, nullptr, max_model_size, nullptr);
    }
    ~Server()
    {
        if (s)
            engine().nn_server_release(s);
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    nn_server* operator->() const { return s; }
    operator nn_server*() const { return s; }

    int options(int threads, int compute, int opt_level)
    {
        nn_plugin_options o{threads, compute, opt_level};
        return engine().nn_server_options(s, &o);
    }
    int load(const std::string& path) { return engine().nn_server_model_load(s, path.c_str(), 1); }
};

// ---- files ----------------------------------------------------------------------

struct TempDir : temp_dir::TempDir {
    // The graph written as name.onnx; its path.
    std::string model(const std::string& name, const Graph& g, int64_t opset = 13) const
    {
        std::string p = file(name + ".onnx");
        EXPECT_TRUE(onnxtest::write_model_file(p, g, opset)) << p;
        return p;
    }
};

// ---- fixture models ------------------------------------------------------------------

// x [1,3,5,5] -> GlobalAveragePool -> y [1,3,1,1].
inline Graph gap_model(std::vector<int64_t> dims = {1, 3, 5, 5})
{
    std::vector<int64_t> out = {dims[0], dims[1], 1, 1};
    return onnxtest::single_node("GlobalAveragePool", Value{"x", onnxtest::FLOAT, dims},
                                 Value{"y", onnxtest::FLOAT, out});
}

// x [1,8,8,3] (NHWC) -> ReduceMean over axes 1, 2 -> y [1,1,1,3].
inline Graph nhwc_mean_model()
{
    return onnxtest::single_node("ReduceMean", Value{"x", onnxtest::FLOAT, {1, 8, 8, 3}},
                                 Value{"y", onnxtest::FLOAT, {1, 1, 1, 3}},
                                 {onnxtest::Attribute::of_ints("axes", {1, 2})});
}

// x of `elem` and `dims` -> Identity -> y.
inline Graph identity_model(int32_t elem, std::vector<int64_t> dims)
{
    return onnxtest::single_node("Identity", Value{"x", elem, dims}, Value{"y", elem, dims});
}

// i INT64 [1] picks one of three constants (10, 20, 30); an index past them
// fails the run.
inline Graph gather_model()
{
    Graph g;
    g.initializers.push_back(onnxtest::Initializer::of_floats("table", {3}, {10.0f, 20.0f, 30.0f}));
    g.nodes.push_back(onnxtest::Node{"Gather", {"table", "i"}, {"y"}, {}});
    g.inputs.push_back(Value{"i", onnxtest::INT64, {1}});
    g.outputs.push_back(Value{"y", onnxtest::FLOAT, {1}});
    return g;
}

// ---- ONNX Runtime's table, recorded -------------------------------------------------------

// A copy of the plug-in's API table whose entries the test may replace; put
// in place of the server's own with install().
struct ApiCopy {
    OrtApi table;
    const OrtApi* real;
    explicit ApiCopy(const OrtApi* api) : table(*api), real(api) {}
    void install(nn_server* server) { server->api = &table; }
};

// ---- HTTP: the plug-in suites' shared helpers, over the record's handler -----------------

using plugin_call::base64_decode;
using plugin_call::bytes_of;
using plugin_call::floats;
using plugin_call::Reply;
using plugin_call::Request;
using plugin_call::values_of;

inline Reply call(nn_server* server, const Request& req)
{
    return plugin_call::call(engine().nn_server_http_handler, server, req);
}

inline Reply post(nn_server* server, const std::string& target, const std::string& type, const std::string& body,
                  const std::string& accept = "")
{
    return call(server, plugin_call::post(target, accept, type, body));
}

// The text of the JSON string member `name` after `from` in `json` ("" when absent).
inline std::string json_string(const std::string& json, const std::string& name, size_t from = 0)
{
    std::string key = "\"" + name + "\":";
    size_t p = json.find(key, from);
    if (p == std::string::npos)
        return "";
    p = json.find('"', p + key.size());
    size_t q = p == std::string::npos ? p : json.find('"', p + 1);
    return q == std::string::npos ? "" : json.substr(p + 1, q - p - 1);
}

} // namespace onnx_test

#endif
