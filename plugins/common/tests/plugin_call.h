// Helpers of the engine plug-in suites: a request handed to a plug-in's HTTP
// handler over a socketpair, the whole reply read on a thread and parsed.
// The handler is a parameter: a suite that links the plug-in's objects passes
// its entry point, one that opens the built plug-in passes the record's.
#ifndef BRINDLECAST_PLUGIN_CALL_H
#define BRINDLECAST_PLUGIN_CALL_H

#include <gtest/gtest.h>

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "multipart_body.h"
#include "nn_plugin.h"

namespace plugin_call {

// Any byte container with data() and size() (a fixture writer's output).
template <class Bytes>
std::string bytes_of(const Bytes& b)
{
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

inline std::string floats(const std::vector<float>& v)
{
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float));
}

// The values a byte string holds (a raw tensor reply, decoded output data).
template <class T>
std::vector<T> values_of(const std::string& bytes)
{
    std::vector<T> v(bytes.size() / sizeof(T));
    if (!v.empty())
        std::memcpy(v.data(), bytes.data(), v.size() * sizeof(T));
    return v;
}

// The bytes of base64 text, up to its first character outside the alphabet
// ('=' or a closing quote).
inline std::string base64_decode(const std::string& text)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (char c : text) {
        size_t d = alphabet.find(c);
        if (d == std::string::npos)
            break;
        value = (value << 6) | static_cast<unsigned>(d);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((value >> bits) & 0xFF));
        }
    }
    return out;
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

// Calls `handler` with the request on one end of a socketpair and reads the
// other end on a thread (replies may exceed the socket buffer). `around`,
// when given, is called with true just before the handler and with false
// just after it.
inline Reply call(http_handler handler, nn_server* server, const Request& req, void (*around)(bool) = nullptr)
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
    int result = handler(fds[0], method.data(), target.data(), headers.data(), headers.size(),
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

// A whole model uploaded in one "block_content" part.
inline Request put_whole(const std::string& model_bytes, const std::string& file_name)
{
    Request r;
    r.method = "PUT";
    r.target = "/v1/model";
    r.headers = {{"Content-Type", "multipart/form-data; boundary=XyZ"}};
    r.body = multipart({{"block_content", model_bytes, file_name, "application/octet-stream"}});
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

}  // namespace plugin_call

#endif
