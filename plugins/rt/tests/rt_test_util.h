// Helpers of the runtime plug-in suites: fixture models written with the
// test KFM writer, the handler called over a socketpair, the reply parsed.
#ifndef BRINDLECAST_RT_TEST_UTIL_H
#define BRINDLECAST_RT_TEST_UTIL_H

#include <gtest/gtest.h>

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kfm_parts.h"
#include "kfm_writer.h"
#include "multipart_body.h"
#include "rt_server.h"

namespace rt_test {

// ---- models ---------------------------------------------------------------

using kfm_parts::constant;
using kfm_parts::f32;
using kfm_parts::TempDir;

using kfm_parts::classifier;
using kfm_parts::softmax_classifier;

// Softmax of `x` in double precision.
inline std::vector<double> softmax_of(const std::vector<double>& x)
{
    double top = x.empty() ? 0.0 : *std::max_element(x.begin(), x.end()), sum = 0.0;
    std::vector<double> e;
    for (double v : x)
        sum += e.emplace_back(std::exp(v - top));
    for (double& v : e)
        v /= sum;
    return e;
}

// "input" [1,2,2,3] with `layers` after it; labels l0..l11.
inline kfm::Model image_with(const std::string& name, std::vector<kfm::Layer> layers)
{
    kfm::Model m;
    m.name = name;
    std::vector<std::string> labels;
    for (int i = 0; i < 12; ++i)
        labels.push_back("l" + std::to_string(i));
    m.labels = labels;
    layers.insert(layers.begin(), f32("input", NN_LAYER_INPUT, {1, 2, 2, 3}));
    m.layers = std::move(layers);
    return m;
}

// "input" [1,2,2,3] -> "flat" view [1,12] -> softmax "out".
inline kfm::Model image_softmax_model()
{
    return image_with("image-softmax", {f32("flat", NN_LAYER_RESHAPE, {1, 12}, {0}),
                                        f32("out", NN_LAYER_SOFTMAX, {1, 12}, {1})});
}

// "input" [1,2,2,3] -> "out" view.
inline kfm::Model image_model()
{
    return image_with("image", {f32("out", NN_LAYER_RESHAPE, {1, 12}, {0})});
}

// input then nine views: ten layers, "l0" .. "l9"; l1 is named "conv/1".
inline kfm::Model chain10()
{
    kfm::Model m;
    m.name = "chain";
    std::vector<kfm::Layer> layers{f32("l0", NN_LAYER_INPUT, {1, 4})};
    for (uint32_t i = 1; i < 10; ++i)
        layers.push_back(f32(i == 1 ? "conv/1" : "l" + std::to_string(i), NN_LAYER_RESHAPE, {1, 4}, {i - 1}));
    m.layers = layers;
    return m;
}

// "input" [1,4], constant "w" [1,4], "output" a view of input.
inline kfm::Model with_constant()
{
    kfm::Model m = classifier();
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 4}), constant("w", {1, 4}, {1, 2, 3, 4}),
                                       f32("output", NN_LAYER_RESHAPE, {1, 4}, {0})};
    m.outputs = std::vector<uint32_t>{2};
    return m;
}

// One large constant (about `bytes`), for block uploads.
inline kfm::Model large(size_t bytes)
{
    kfm::Model m;
    m.name = "large";
    size_t n = bytes / 4;
    std::vector<float> values(n);
    for (size_t i = 0; i < n; ++i)
        values[i] = (float)(i % 251);
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 4}),
                                       constant("big", {1, (int32_t)n}, std::move(values)),
                                       f32("output", NN_LAYER_RESHAPE, {1, 4}, {0})};
    return m;
}

inline kfm::Model layerless()
{
    kfm::Model m;
    m.name = "empty";
    m.layers = std::vector<kfm::Layer>{};
    return m;
}

inline std::string bytes_of(const kfm::Buffer& b)
{
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

// ---- requests and replies ----------------------------------------------------

struct Reply {
    bool sent = false;  // any bytes at all
    int result = 0;     // the handler's result
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string raw;

    std::string header(const std::string& name) const
    {
        for (auto& h : headers)
            if (h.first == name)
                return h.second;
        return "<absent>";
    }
    bool has(const std::string& name) const { return header(name) != "<absent>"; }
};

inline Reply parse_reply(const std::string& raw)
{
    Reply r;
    r.raw = raw;
    r.sent = !raw.empty();
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos)
        return r;
    std::string head = raw.substr(0, end);
    size_t line_end = head.find("\r\n");
    std::string status_line = head.substr(0, line_end);
    if (status_line.size() > 12)
        r.status = std::atoi(status_line.c_str() + 9);
    size_t pos = line_end == std::string::npos ? head.size() : line_end + 2;
    while (pos < head.size()) {
        size_t next = head.find("\r\n", pos);
        if (next == std::string::npos)
            next = head.size();
        std::string line = head.substr(pos, next - pos);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string value = line.substr(colon + 1);
            if (!value.empty() && value[0] == ' ')
                value.erase(0, 1);
            r.headers.emplace_back(line.substr(0, colon), value);
        }
        pos = next + 2;
    }
    size_t length = (size_t)std::strtoull(r.header("Content-Length").c_str(), nullptr, 10);
    r.body = raw.substr(end + 4);
    EXPECT_EQ(r.body.size(), length) << "Content-Length against the bytes sent";
    return r;
}

struct Request {
    std::string method = "GET";
    std::string target = "/";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

// Calls the handler with the request on one end of a socketpair and reads
// the other end on a thread (replies may exceed the socket buffer).
// `around`, when given, is called with true just before the handler and with
// false just after it.
inline Reply call(nn_server* server, const Request& req, void (*around)(bool) = nullptr)
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
                break;  // nothing may hang
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
        // An empty name stands for a continuation line (no name at all).
        headers.push_back(http_header{name.empty() ? nullptr : name.data(), name.size(), value.data(),
                                      value.size()});
    }
    if (around)
        around(true);
    int result = nn_server_http_handler(fds[0], method.data(), target.data(), headers.data(), headers.size(),
                                        body.empty() ? nullptr : body.data(), body.size(), server);
    if (around)
        around(false);
    shutdown(fds[0], SHUT_WR);
    reader.join();
    close(fds[0]);
    close(fds[1]);
    Reply r = parse_reply(raw);
    r.result = result;
    return r;
}

using multipart_body::Part;
using multipart_body::multipart;

inline std::string floats(const std::vector<float>& v)
{
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float));
}

// A server over the CPU with a 1 MiB pool and cache.
struct Server {
    nn_server* s = nullptr;
    explicit Server(size_t max_model = 64u << 20)
    {
        s = nn_server_init(0, 0, nullptr, 0, nullptr, max_model, nullptr);
        EXPECT_NE(s, nullptr);
    }
    ~Server() { nn_server_release(s); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    operator nn_server*() const { return s; }
};

inline Request put_whole(const std::string& model_bytes)
{
    Request r;
    r.method = "PUT";
    r.target = "/v1/model";
    r.headers = {{"Content-Type", "multipart/form-data; boundary=XyZ"}};
    r.body = multipart({{"block_content", model_bytes, "model.kfm", "application/octet-stream"}});
    return r;
}

inline Request post(const std::string& target, const std::string& accept = "",
                    const std::string& content_type = "", const std::string& body = "")
{
    Request r;
    r.method = "POST";
    r.target = target;
    if (!content_type.empty())
        r.headers.emplace_back("Content-Type", content_type);
    if (!accept.empty())
        r.headers.emplace_back("Accept", accept);
    r.body = body;
    return r;
}

}  // namespace rt_test

#endif
