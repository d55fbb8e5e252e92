// Helpers of the ONNX plug-in suites: the built plug-in opened with dlopen,
// fixture models written with the test ONNX writer, the HTTP handler called
// over a socketpair and its reply parsed, and a recording copy of ONNX
// Runtime's API table.
#ifndef BRINDLECAST_ONNX_TEST_SUPPORT_H
#define BRINDLECAST_ONNX_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "onnx_server.h"
#include "onnx_writer.h"

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

struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/onnx_test_XXXXXX";
        const char* p = mkdtemp(tmpl);
        path = p ? p : "/tmp";
    }
    ~TempDir()
    {
        std::string cmd = "rm -rf '" + path + "'";
        if (system(cmd.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", path.c_str());
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    // The graph written as name.onnx; its path.
    std::string model(const std::string& name, const Graph& g, int64_t opset = 13) const
    {
        std::string p = file(name + ".onnx");
        EXPECT_TRUE(onnxtest::write_model_file(p, g, opset)) << p;
        return p;
    }
    std::string bytes(const std::string& name, const std::string& content) const
    {
        std::string p = file(name);
        FILE* f = fopen(p.c_str(), "wb");
        if (f) {
            fwrite(content.data(), 1, content.size(), f);
            fclose(f);
        }
        return p;
    }
};

inline std::string bytes_of(const std::vector<uint8_t>& b)
{
    return std::string(b.begin(), b.end());
}

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

// ---- HTTP ------------------------------------------------------------------------------------

struct Reply {
    int result = 0;
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    std::string header(const std::string& name) const
    {
        for (auto& h : headers)
            if (h.first == name)
                return h.second;
        return "<absent>";
    }
};

struct Request {
    std::string method = "GET";
    std::string target = "/";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

inline Reply parse_reply(const std::string& raw)
{
    Reply r;
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos)
        return r;
    std::string head = raw.substr(0, end);
    if (head.size() > 12)
        r.status = std::atoi(head.c_str() + 9);
    size_t pos = head.find("\r\n");
    while (pos != std::string::npos && pos < head.size()) {
        pos += 2;
        size_t next = head.find("\r\n", pos);
        std::string line = head.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
        size_t colon = line.find(": ");
        if (colon != std::string::npos)
            r.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
        pos = next;
    }
    r.body = raw.substr(end + 4);
    return r;
}

// The plug-in's handler over one end of a socketpair, the other read on a
// thread (a reply may be larger than the socket buffer).
inline Reply call(nn_server* server, const Request& req)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        ADD_FAILURE() << "socketpair";
        return {};
    }
    std::string raw;
    std::thread reader([&] {
        char buf[65536];
        for (;;) {
            pollfd p{fds[1], POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0)
                break;
            ssize_t n = recv(fds[1], buf, sizeof buf, 0);
            if (n <= 0)
                break;
            raw.append(buf, (size_t)n);
        }
    });
    std::string method = req.method, target = req.target, body = req.body;
    std::vector<std::string> store;
    store.reserve(req.headers.size() * 2);
    std::vector<http_header> headers;
    for (auto& h : req.headers) {
        store.push_back(h.first);
        const std::string& name = store.back();
        store.push_back(h.second);
        const std::string& value = store.back();
        headers.push_back(http_header{name.data(), name.size(), value.data(), value.size()});
    }
    int result = engine().nn_server_http_handler(fds[0], method.data(), target.data(), headers.data(),
                                                 headers.size(), body.empty() ? nullptr : body.data(),
                                                 body.size(), server);
    shutdown(fds[0], SHUT_WR);
    reader.join();
    close(fds[0]);
    close(fds[1]);
    Reply r = parse_reply(raw);
    r.result = result;
    return r;
}

inline Reply post(nn_server* server, const std::string& target, const std::string& type, const std::string& body,
                  const std::string& accept = "")
{
    Request req;
    req.method = "POST";
    req.target = target;
    if (!type.empty())
        req.headers.emplace_back("Content-Type", type);
    if (!accept.empty())
        req.headers.emplace_back("Accept", accept);
    req.body = body;
    return call(server, req);
}

// ---- bytes --------------------------------------------------------------------------------------

inline std::vector<uint8_t> base64_decode(const std::string& text)
{
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    };
    std::vector<uint8_t> out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        int v = value(c);
        if (v < 0)
            continue;
        acc = acc << 6 | (uint32_t)v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back((uint8_t)(acc >> bits));
        }
    }
    return out;
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

inline std::vector<float> floats_of(const std::vector<uint8_t>& bytes)
{
    std::vector<float> f(bytes.size() / 4);
    if (!f.empty())
        memcpy(f.data(), bytes.data(), f.size() * 4);
    return f;
}

inline std::string floats_bytes(const std::vector<float>& f)
{
    return std::string(reinterpret_cast<const char*>(f.data()), f.size() * sizeof(float));
}

} // namespace onnx_test

#endif
