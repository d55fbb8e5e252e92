// Shared pieces of the runtime plug-in's RPC and user-operation suites: model
// fixtures from the KFM writer, a server over such a model, and a datagram
// client bound beside the server's socket in a temporary folder.
#ifndef BRINDLECAST_RT_TESTS_RPC_FIXTURE_H
#define BRINDLECAST_RT_TESTS_RPC_FIXTURE_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "kfm_parts.h"
#include "kfm_writer.h"
#include "rt_server.h"

namespace rpc_test {

constexpr int16_t kInput = 1, kConstant = 2, kSoftmax = 44, kReshape = 101, kUserOp = 250;

inline kfm::Layer pooled(const std::string& name, int16_t type, std::vector<int32_t> shape, uint32_t offset,
                         std::vector<uint32_t> inputs = {})
{
    kfm::Layer l = kfm::layer(name, type, std::move(shape), std::move(inputs));
    l.mempool_offset = offset;
    return l;
}

// input [1,4] -> output, a reshape to [1,4,1,1]; labels a..d.
inline kfm::Buffer reshape_model()
{
    kfm::Model m;
    m.memory_block_size = 16;
    m.labels = std::vector<std::string>{"a", "b", "c", "d"};
    m.layers = std::vector<kfm::Layer>{pooled("input", kInput, {1, 4}, 0),
                                       kfm::layer("output", kReshape, {1, 4, 1, 1}, {0})};
    return kfm::write(m);
}

// input [1,4] -> softmax "probs" [1,4] -> output, a reshape to [1,4,1,1];
// labels a..d.
inline kfm::Buffer softmax_model()
{
    kfm::Model m;
    m.memory_block_size = 16;
    m.labels = std::vector<std::string>{"a", "b", "c", "d"};
    m.layers = std::vector<kfm::Layer>{pooled("input", kInput, {1, 4}, 0), kfm::layer("probs", kSoftmax, {1, 4}, {0}),
                                       kfm::layer("output", kReshape, {1, 4, 1, 1}, {1})};
    return kfm::write(m);
}

// input [1, n] -> output (reshape [1, n, 1, 1]), no labels.
inline kfm::Buffer wide_model(int32_t n)
{
    kfm::Model m;
    m.memory_block_size = 16;
    m.layers = std::vector<kfm::Layer>{pooled("input", kInput, {1, n}, 0),
                                       kfm::layer("output", kReshape, {1, n, 1, 1}, {0})};
    return kfm::write(m);
}

// input [1,4] -> user_op with "opname" -> output (the user_op layer).
inline kfm::Buffer user_op_model(const std::string& opname)
{
    kfm::Layer op = pooled("output", kUserOp, {1, 4}, 1, {0});
    kfm::Parameter p = kfm::parameter("opname");
    p.data_str = std::vector<std::string>{opname};
    op.parameters = std::vector<kfm::Parameter>{p};
    kfm::Model m;
    m.memory_block_size = 16;
    m.layers = std::vector<kfm::Layer>{pooled("input", kInput, {1, 4}, 0), op};
    return kfm::write(m);
}

// A FLOAT32 [1, h, w, 3] input, named "image", reshaped as the output.
inline kfm::Buffer image_model(int32_t h, int32_t w, int8_t type = NN_TYPE_F32)
{
    kfm::Layer in = pooled("image", kInput, {1, h, w, 3}, 0);
    in.datatype = type;
    if (type != NN_TYPE_F32) {
        in.scales = std::vector<float>{1.0f};
        in.zeros = std::vector<int32_t>{0};
    }
    kfm::Model m;
    m.memory_block_size = 16;
    m.layers = std::vector<kfm::Layer>{in};
    return kfm::write(m);
}

// A model with a constant "w" (four floats in the model bytes).
inline kfm::Buffer constant_model()
{
    kfm::Layer w = kfm::layer("w", kConstant, {1, 4});
    kfm::Parameter p = kfm::parameter("data");
    p.shape = std::vector<int32_t>{1, 4};
    p.data_f32 = std::vector<float>{1, 2, 3, 4};
    w.parameters = std::vector<kfm::Parameter>{p};
    kfm::Model m;
    m.memory_block_size = 16;
    m.layers = std::vector<kfm::Layer>{pooled("input", kInput, {1, 4}, 0), w};
    return kfm::write(m);
}

using kfm_parts::TempDir;

struct ServerHandle {
    nn_server* server = nullptr;
    ServerHandle() { server = nn_server_init(0, 1 << 20, nullptr, 1 << 16, nullptr, 1 << 20, nullptr); }
    ~ServerHandle() { nn_server_release(server); }
    int load(const std::string& path) { return nn_server_model_load(server, path.c_str(), 0); }
};

// The parsed reply datagram.
struct Reply {
    bool received = false;
    uint64_t run_time = 0;
    uint32_t flags = 0;
    uint32_t dims = 0;
    int32_t shape[4] = {0, 0, 0, 0};
    std::vector<uint8_t> body;  // everything after the header
    std::string text() const { return std::string(body.begin(), body.end()); }
};

inline uint32_t le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline Reply parse_reply(const std::vector<uint8_t>& d)
{
    Reply r;
    if (d.size() < 32)
        return r;
    r.received = true;
    r.run_time = uint64_t(le32(d.data())) | uint64_t(le32(d.data() + 4)) << 32;
    r.flags = le32(d.data() + 8);
    r.dims = le32(d.data() + 12);
    for (int i = 0; i < 4; ++i)
        r.shape[i] = int32_t(le32(d.data() + 16 + 4 * i));
    r.body.assign(d.begin() + 32, d.end());
    return r;
}

// A request header, encoded byte by byte.
struct Request {
    uint16_t command = 0, flags = 0, frame_width = 0, frame_height = 0;
    uint16_t crop_width = 0, crop_height = 0, crop_x = 0, crop_y = 0;
    uint32_t fourcc = 0, address = 0;
    std::vector<uint8_t> encode(const std::vector<uint8_t>& payload = {}) const
    {
        std::vector<uint8_t> d;
        auto u16 = [&](uint16_t v) {
            d.push_back(uint8_t(v));
            d.push_back(uint8_t(v >> 8));
        };
        auto u32 = [&](uint32_t v) {
            for (int i = 0; i < 4; ++i)
                d.push_back(uint8_t(v >> (8 * i)));
        };
        u16(command), u16(flags), u16(frame_width), u16(frame_height);
        u16(crop_width), u16(crop_height), u16(crop_x), u16(crop_y);
        u32(fourcc), u32(address);
        d.insert(d.end(), payload.begin(), payload.end());
        return d;
    }
};

inline std::vector<uint8_t> bytes_of(const std::vector<float>& v)
{
    std::vector<uint8_t> b(v.size() * 4);
    std::memcpy(b.data(), v.data(), b.size());
    return b;
}

inline std::vector<uint8_t> bytes_of(const std::string& s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

inline int bind_unix(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Server socket and a bound client in one temporary folder.
struct SocketPair {
    TempDir dir;
    int server = -1;
    int client = -1;
    sockaddr_un server_address{};
    SocketPair()
    {
        server = bind_unix(dir.path + "/rt.sock");
        client = bind_unix(dir.path + "/client.sock");
        server_address.sun_family = AF_UNIX;
        std::strncpy(server_address.sun_path, (dir.path + "/rt.sock").c_str(), sizeof server_address.sun_path - 1);
    }
    ~SocketPair()
    {
        if (server >= 0)
            close(server);
        if (client >= 0)
            close(client);
    }
    bool send_from(int fd, const std::vector<uint8_t>& d) const
    {
        return sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&server_address),
                      sizeof server_address) == ssize_t(d.size());
    }
    bool send(const std::vector<uint8_t>& d) const { return send_from(client, d); }
    // One datagram within `timeout_ms`; an empty vector and false on timeout.
    static bool receive_on(int fd, std::vector<uint8_t>& out, int timeout_ms)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1)
            return false;
        std::vector<uint8_t> buf(1 << 20);
        ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < 0)
            return false;
        buf.resize(size_t(n));
        out = std::move(buf);
        return true;
    }
    Reply receive(int timeout_ms = 2000) const
    {
        std::vector<uint8_t> d;
        if (!receive_on(client, d, timeout_ms))
            return Reply{};
        return parse_reply(d);
    }
    // Nothing queued on the client within a short wait.
    bool client_idle(int timeout_ms = 50) const
    {
        pollfd p{client, POLLIN, 0};
        return poll(&p, 1, timeout_ms) == 0;
    }
};

// The text parts of a reply: NUL-terminated strings in order.
inline std::vector<std::string> text_parts(const std::vector<uint8_t>& body)
{
    std::vector<std::string> parts;
    std::string cur;
    for (uint8_t c : body) {
        if (c == 0) {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(char(c));
        }
    }
    if (!cur.empty())
        parts.push_back(cur + "<unterminated>");
    return parts;
}

// One HTTP request through the plug-in's handler over a socket pair; the
// whole response (the reply is written before the handler returns).
inline std::string http(nn_server* server, const char* method, const char* target, std::string body = "")
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return "";
    std::string m(method), t(target);
    body.push_back('\0');  // a writable, terminated copy
    testing::internal::CaptureStderr();
    nn_server_http_handler(pair[0], &m[0], &t[0], nullptr, 0, &body[0], body.size() - 1, server);
    testing::internal::GetCapturedStderr();
    std::string response;
    pollfd p{pair[1], POLLIN, 0};
    while (poll(&p, 1, 200) == 1) {
        char buf[4096];
        ssize_t n = recv(pair[1], buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            break;
        response.append(buf, size_t(n));
    }
    close(pair[0]);
    close(pair[1]);
    return response;
}

}  // namespace rpc_test

#endif
