// The datagram RPC served in process: a server socket bound in a temporary
// folder, a bound client, nn_server_unix_handler called once per datagram.
#include <sys/ioctl.h>

#include <cmath>
#include <functional>
#include <memory>

#include "kfm_test_util.h"
#include "rpc_fixture.h"
#include "tensor/tensor_record.h"
#include "user_ops.h"

using namespace rpc_test;

namespace {

enum class ModelKind { Reshape, Softmax, UserOp, Constant, Wide, Empty };

kfm::Buffer model_of(ModelKind kind)
{
    switch (kind) {
    case ModelKind::Softmax:
        return softmax_model();
    case ModelKind::UserOp:
        return user_op_model("double");
    case ModelKind::Constant:
        return constant_model();
    case ModelKind::Wide:
        return wide_model(16384);
    case ModelKind::Empty: {
        // "empty" has no elements, so no memory of its own to map.
        kfm::Model m;
        m.memory_block_size = 16;
        m.layers = std::vector<kfm::Layer>{pooled("input", kInput, {1, 4}, 0), kfm::layer("empty", kInput, {1, 0})};
        return kfm::write(m);
    }
    case ModelKind::Reshape:
    default: {
        // reshape_model plus a second input with a four-character name.
        kfm::Model m;
        m.memory_block_size = 16;
        m.labels = std::vector<std::string>{"a", "b", "c", "d"};
        m.layers = std::vector<kfm::Layer>{pooled("input", kInput, {1, 4}, 0),
                                           kfm::layer("output", kReshape, {1, 4, 1, 1}, {0}),
                                           pooled("in_b", kInput, {1, 4}, 1)};
        return kfm::write(m);
    }
    }
}

std::vector<float> floats_of(nn_server* s, const char* name)
{
    nn_tensor* t = nn_context_tensor(nn_server_context(s), name);
    return t ? kfm_test::floats(t) : std::vector<float>{};
}

class Rpc : public testing::Test {
protected:
    void Start(ModelKind kind = ModelKind::Reshape)
    {
        ASSERT_GE(sockets->server, 0);
        ASSERT_GE(sockets->client, 0);
        ASSERT_NE(srv->server, nullptr);
        ASSERT_EQ(srv->load(sockets->dir.file("m.kfm", model_of(kind))), 0);
        nn_tensor* in = nn_context_tensor(nn_server_context(srv->server), "input");
        ASSERT_NE(in, nullptr);
        kfm_test::write_floats(in, {1, 3, 2, 0.5f});
    }
    // Sends one datagram, serves it, and receives the answer.
    Reply Call(const std::vector<uint8_t>& datagram, std::string* err = nullptr)
    {
        EXPECT_TRUE(sockets->send(datagram));
        Serve(err);
        return sockets->receive();
    }
    void Serve(std::string* err = nullptr)
    {
        auto s = kfm_test::capture([&] { nn_server_unix_handler(srv->server, sockets->server); });
        if (err)
            *err = s.err;
    }
    void Reset()
    {
        srv.reset();
        sockets.reset(new SocketPair);
        srv.reset(new ServerHandle);
    }
    std::unique_ptr<SocketPair> sockets{new SocketPair};
    std::unique_ptr<ServerHandle> srv{new ServerHandle};
};

struct Step {
    Request request;
    std::vector<uint8_t> payload;
};

Request req(uint16_t command, uint16_t flags, uint32_t address = 0)
{
    Request r;
    r.command = command;
    r.flags = flags;
    r.address = address;
    return r;
}

struct Case {
    const char* name;
    ModelKind model;
    std::vector<Step> before;  // each answered without error
    Step step;
    uint32_t flags;                  // expected reply flags
    std::vector<std::string> parts;  // text parts, or the error text (flags 3)
    std::function<void(nn_server*, const Reply&)> check;
};

std::vector<uint8_t> p(const std::string& s)
{
    return bytes_of(s);
}

std::vector<uint8_t> f(const std::vector<float>& v)
{
    return bytes_of(v);
}

const std::string kLong(400, 'x');

const Case kCases[] = {
    {"index", ModelKind::Reshape, {}, {req(7, 0x0010), {}}, 0x10, {"1"},
     [](nn_server* s, const Reply& r) {
         EXPECT_GT(r.run_time, 0u);
         EXPECT_EQ(int64_t(r.run_time), s->run_time);
     }},
    {"label is asked by 0x20, marked 0x40", ModelKind::Reshape, {}, {req(7, 0x0020), {}}, 0x40, {"b"}, nullptr},
    {"score is asked by 0x40, marked 0x20", ModelKind::Reshape, {}, {req(7, 0x0040), {}}, 0x20, {"3.000000"},
     nullptr},
    {"index, score, label in that order", ModelKind::Reshape, {}, {req(7, 0x0070), {}}, 0x70,
     {"1", "3.000000", "b"}, nullptr},
    {"no run without command 7", ModelKind::Reshape, {}, {req(0, 0x0010), {}}, 0x10, {"1"},
     [](nn_server*, const Reply& r) { EXPECT_EQ(r.run_time, 0u); }},
    {"label of an index without one is a single NUL", ModelKind::Wide, {}, {req(7, 0x0020), {}}, 0x40, {""},
     [](nn_server*, const Reply& r) { EXPECT_EQ(r.body.size(), 1u); }},
    {"tensor part", ModelKind::Reshape, {}, {req(7, 0x0080), {}}, 0x80, {},
     [](nn_server*, const Reply& r) {
         EXPECT_EQ(r.dims, 4u);
         EXPECT_EQ(std::vector<int32_t>(r.shape, r.shape + 4), (std::vector<int32_t>{1, 4, 1, 1}));
         EXPECT_EQ(r.body, bytes_of(std::vector<float>{1, 3, 2, 0.5f}));
     }},
    {"index before tensor", ModelKind::Reshape, {}, {req(7, 0x0090), {}}, 0x90, {},
     [](nn_server*, const Reply& r) {
         std::vector<uint8_t> want = {'1', 0};
         auto t = bytes_of(std::vector<float>{1, 3, 2, 0.5f});
         want.insert(want.end(), t.begin(), t.end());
         EXPECT_EQ(r.body, want);
         EXPECT_EQ(r.dims, 4u);
     }},
    {"load then run", ModelKind::Reshape, {}, {req(7, 0x0071), f({4, 0, 0, 9})}, 0x70, {"3", "9.000000", "d"},
     [](nn_server* s, const Reply&) { EXPECT_EQ(floats_of(s, "input"), (std::vector<float>{4, 0, 0, 9})); }},
    // e^3 / (e^1 + e^3 + e^2 + e^0.5) = 0.6307955...; the tensor holds all four.
    {"index, score, label of a softmax", ModelKind::Softmax, {}, {req(7, 0x0071), f({1, 3, 2, 0.5f})}, 0x70,
     {"1", "0.630796", "b"},
     [](nn_server* s, const Reply&) {
         const double e[4] = {std::exp(1.0), std::exp(3.0), std::exp(2.0), std::exp(0.5)};
         const double sum = e[0] + e[1] + e[2] + e[3];
         std::vector<float> got = floats_of(s, "output");
         ASSERT_EQ(got.size(), 4u);
         for (size_t i = 0; i < 4; ++i)
             EXPECT_NEAR(got[i], e[i] / sum, 1e-6) << i;
     }},
    // 1e20f is 100000002004087734272: "%f" would need 29 bytes.
    {"score text cut to 16 bytes", ModelKind::Reshape, {}, {req(7, 0x0041), f({1e20f, 0, 0, 0})}, 0x20,
     {"100000002004087"}, [](nn_server*, const Reply& r) { EXPECT_EQ(r.body.size(), 16u); }},
    {"clear then index", ModelKind::Reshape, {}, {req(7, 0x0150), {}}, 0x30, {"0", "0.000000"},
     [](nn_server* s, const Reply&) { EXPECT_EQ(floats_of(s, "input"), (std::vector<float>{0, 0, 0, 0})); }},
    {"four-byte name, then a load into it", ModelKind::Reshape, {{req(5, 0), p("in_b")}},
     {req(0, 0x0001), f({5, 6, 7, 8})}, 0, {},
     [](nn_server* s, const Reply& r) {
         EXPECT_TRUE(r.body.empty());
         EXPECT_STREQ(nn_server_input_name(s), "in_b");
         EXPECT_EQ(floats_of(s, "in_b"), (std::vector<float>{5, 6, 7, 8}));
         EXPECT_EQ(floats_of(s, "input"), (std::vector<float>{1, 3, 2, 0.5f}));
     }},
    {"set output", ModelKind::Reshape, {{req(6, 0), p("in_b")}}, {req(0, 0x0010), {}}, 0x10, {"0"},
     [](nn_server* s, const Reply&) { EXPECT_STREQ(nn_server_output_name(s), "in_b"); }},
    {"empty payload names nothing", ModelKind::Reshape, {}, {req(5, 0x0100), {}}, 3,
     {"cannot clear unknown tensor: "}, nullptr},

    // Commands without an implementation.
    {"load memory", ModelKind::Reshape, {}, {req(1, 0x0010), p("x.bin")}, 3,
     {"failed to load memory x.bin: not implemented"}, nullptr},
    {"unload memory", ModelKind::Reshape, {}, {req(2, 0), {}}, 3, {"failed to unload memory: not implemented"},
     nullptr},
    {"load model", ModelKind::Reshape, {}, {req(3, 0), p("m.kfm")}, 3,
     {"failed to load model m.kfm: not implemented"}, nullptr},
    {"unload model", ModelKind::Reshape, {}, {req(4, 0), {}}, 3, {"failed to unload model: not implemented"},
     nullptr},
    {"error text at most 255 bytes", ModelKind::Reshape, {}, {req(1, 0), p(kLong)}, 3,
     {("failed to load memory " + kLong).substr(0, 255)}, nullptr},
    {"client text is never a format", ModelKind::Reshape, {}, {req(3, 0), p("%s%n%x")}, 3,
     {"failed to load model %s%n%x: not implemented"}, nullptr},

    // Input errors.
    {"load without payload or address", ModelKind::Reshape, {}, {req(7, 0x0001), {}}, 3,
     {"RPC_LOAD_INPUT requested but no input provided"}, nullptr},
    {"load without payload, with an address", ModelKind::Reshape, {}, {req(7, 0x0001, 0x10000), {}}, 3,
     {"RPC_LOAD_INPUT DMA not supported, see RPC_DECODE_FRAME"}, nullptr},
    {"load one byte short", ModelKind::Reshape, {}, {req(7, 0x0001), std::vector<uint8_t>(15, 1)}, 3,
     {"RPC_LOAD_INPUT payload size 15 != 16 needed by input"},
     [](nn_server* s, const Reply&) { EXPECT_EQ(floats_of(s, "input"), (std::vector<float>{1, 3, 2, 0.5f})); }},
    {"clear of an unknown tensor", ModelKind::Reshape, {}, {req(5, 0x0100), p("nope")}, 3,
     {"cannot clear unknown tensor: nope"}, nullptr},
    {"load of an unknown tensor", ModelKind::Reshape, {}, {req(5, 0x0001), p("nope")}, 3,
     {"RPC_LOAD_INPUT no tensor with name: nope"}, nullptr},
    {"decode of an unknown tensor", ModelKind::Reshape, {}, {req(5, 0x0002), p("nope")}, 3,
     {"RPC_DECODE_INPUT no tensor with name: nope"}, nullptr},
    {"decode without payload or address", ModelKind::Reshape, {}, {req(7, 0x0002), {}}, 3,
     {"RPC_DECODE_INPUT requested but no input provided"}, nullptr},
    {"image bytes that do not decode", ModelKind::Reshape, {}, {req(7, 0x0002), p("not an image at all")}, 3,
     {"RPC_DECODE_INPUT load image failed: internal error"}, nullptr},
    {"index of an unknown output", ModelKind::Reshape, {}, {req(6, 0x0010), p("nope")}, 3,
     {"model missing output tensor: nope"}, nullptr},
    {"tensor of an unknown output", ModelKind::Reshape, {}, {req(6, 0x0080), p("nope")}, 3,
     {"model missing output tensor: nope"}, nullptr},
    {"argmax of a tensor without data", ModelKind::Empty, {}, {req(6, 0x0010), p("empty")}, 3,
     {"failed to capture argmax from output: tensor no data"}, nullptr},
    {"tensor part of a tensor without data", ModelKind::Empty, {}, {req(6, 0x0080), p("empty")}, 3,
     {"failed to map output tensor: empty"}, nullptr},
    {"run failure", ModelKind::UserOp, {}, {req(7, 0x0010), {}}, 3, {"failed to run model: not implemented"},
     [](nn_server* s, const Reply&) { EXPECT_GT(s->run_time, 0); }},
    {"state stays after a failure", ModelKind::Reshape, {}, {req(7, 0x0101), std::vector<uint8_t>(8, 0)}, 3,
     {"RPC_LOAD_INPUT payload size 8 != 16 needed by input"},
     [](nn_server* s, const Reply&) { EXPECT_EQ(floats_of(s, "input"), (std::vector<float>{0, 0, 0, 0})); }},

    // A constant's tensor views the model bytes: never written.
    {"clear of a constant", ModelKind::Constant, {}, {req(5, 0x0100), p("w")}, 3,
     {"failed to clear tensor w: tensor no data"}, nullptr},
    {"load into a constant", ModelKind::Constant, {{req(5, 0), p("w")}}, {req(0, 0x0001), f({9, 9, 9, 9})}, 3,
     {"RPC_LOAD_INPUT failed to map tensor w"},
     [](nn_server* s, const Reply&) { EXPECT_EQ(floats_of(s, "w"), (std::vector<float>{1, 2, 3, 4})); }},
    {"decode into a constant", ModelKind::Constant, {{req(5, 0), p("w")}}, {req(0, 0x0002), p("xx")}, 3,
     {"RPC_DECODE_INPUT load image failed: tensor no data"}, nullptr},
    {"frame into a constant", ModelKind::Constant, {{req(5, 0), p("w")}}, {req(0, 0x0002, 0x1000), {}}, 3,
     {"RPC_DECODE_INPUT load frame failed: tensor no data"}, nullptr},
    {"constant as output is read", ModelKind::Constant, {{req(6, 0), p("w")}}, {req(0, 0x0010), {}}, 0x10, {"3"},
     nullptr},
};

TEST_F(Rpc, Requests)
{
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Reset();
        Start(c.model);
        if (HasFatalFailure())
            return;
        for (const Step& b : c.before) {
            Reply r = Call(b.request.encode(b.payload));
            ASSERT_TRUE(r.received);
            ASSERT_NE(r.flags, 3u) << r.text();
        }
        std::string err;
        Reply r = Call(c.step.request.encode(c.step.payload), &err);
        ASSERT_TRUE(r.received);
        EXPECT_EQ(r.flags, c.flags);
        if (c.flags == 3) {
            ASSERT_EQ(c.parts.size(), 1u);
            EXPECT_EQ(r.text(), c.parts[0]);
            EXPECT_EQ(r.run_time, 0u);
            EXPECT_EQ(r.dims, 0u);
            // Last on stderr (the runtime may have reported the layer first).
            const std::string tail = c.parts[0] + "\n";
            EXPECT_TRUE(err.size() >= tail.size() && err.compare(err.size() - tail.size(), tail.size(), tail) == 0)
                << err;
        } else if (!c.parts.empty()) {
            EXPECT_EQ(text_parts(r.body), c.parts);
        }
        if (c.check)
            c.check(srv->server, r);
        EXPECT_TRUE(sockets->client_idle(0)) << "exactly one reply";
    }
}

TEST_F(Rpc, ShortDatagrams)
{
    Start();
    struct {
        size_t size;
        const char* text;
    } rows[] = {
        {10, "insufficient memory to receive unix rpc message (-14 bytes)\n"},
        {0, "insufficient memory to receive unix rpc message (-24 bytes)\n"},
        {23, "insufficient memory to receive unix rpc message (-1 bytes)\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.size);
        std::string err;
        Reply r = Call(std::vector<uint8_t>(row.size, 7), &err);
        ASSERT_TRUE(r.received);
        EXPECT_EQ(r.flags, 3u);
        EXPECT_EQ(r.text(), row.text);
        EXPECT_EQ(err, std::string(row.text) + "\n");
        // Nothing stays queued: the next datagram is served at once.
        int pending = -1;
        ASSERT_EQ(ioctl(sockets->server, FIONREAD, &pending), 0);
        EXPECT_EQ(pending, 0);
        Reply next = Call(req(0, 0x0010).encode());
        EXPECT_EQ(next.flags, 0x10u);
    }
}

TEST_F(Rpc, NothingQueuedIsSilent)
{
    Start();
    std::string err;
    Serve(&err);
    EXPECT_EQ(err, "");
    EXPECT_TRUE(sockets->client_idle());
}

TEST_F(Rpc, UnboundClientGetsNothingAndTheNextIsServed)
{
    Start();
    int unbound = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(unbound, 0);
    ASSERT_TRUE(sockets->send_from(unbound, req(0, 0x0010).encode()));
    std::string err;
    Serve(&err);
    EXPECT_EQ(err.rfind("unix_handler failed to send response: ", 0), 0u) << err;
    std::vector<uint8_t> d;
    EXPECT_FALSE(SocketPair::receive_on(unbound, d, 50));
    close(unbound);
    Reply next = Call(req(0, 0x0010).encode());
    EXPECT_EQ(next.flags, 0x10u);
}

TEST_F(Rpc, ReplyTooBigForOneDatagramIsAnswered)
{
    int small = 16384;
    ASSERT_EQ(setsockopt(sockets->server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    Start(ModelKind::Wide);
    std::string err;
    Reply r = Call(req(0, 0x0080).encode(), &err);
    ASSERT_TRUE(r.received);
    EXPECT_EQ(r.flags, 3u);
    EXPECT_EQ(r.text(), std::string("unix_handler failed to send response: ") + strerror(EMSGSIZE));
    // The mapping was given back: the input still takes a load.
    nn_tensor* out = nn_context_tensor(nn_server_context(srv->server), "output");
    ASSERT_NE(out, nullptr);
    EXPECT_NE(nn_tensor_mapwo(out), nullptr);
    nn_tensor_unmap(out);
}

TEST_F(Rpc, SizeQueryFailureKeepsTheDescriptor)
{
    Start();
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::string err;
    auto s = kfm_test::capture([&] { nn_server_unix_handler(srv->server, fd); });
    EXPECT_EQ(s.err.rfind("failed to query unix socket availability: ", 0), 0u) << s.err;
    EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the program's descriptor stays open";
    close(fd);
}

TEST_F(Rpc, OutputTimeOfAReshapeIsItsInput)
{
    Start();
    nn_context* ctx = nn_server_context(srv->server);
    nn_context_tensor(ctx, "input")->io_time = 12345;
    nn_context_tensor(ctx, "in_b")->io_time = 777;
    Reply r = Call(req(0, 0x0010).encode());
    EXPECT_EQ(r.flags, 0x10u);
    EXPECT_EQ(srv->server->output_time, 12345);
    // A layer that is not a reshape reports its own time.
    Call(req(6, 0).encode(bytes_of(std::string("in_b"))));
    Call(req(0, 0x0010).encode());
    EXPECT_EQ(srv->server->output_time, 777);
    // Loads report the input's time.
    Call(req(0, 0x0001).encode(bytes_of(std::vector<float>{1, 1, 1, 1})));
    EXPECT_EQ(srv->server->input_time, 12345);
}

TEST_F(Rpc, ErrorReplyHelper)
{
    Start();
    sockaddr_un peer{};
    socklen_t len = sizeof peer;
    ASSERT_EQ(getsockname(sockets->client, reinterpret_cast<sockaddr*>(&peer), &len), 0);
    std::string big(300, 'e');
    auto s = kfm_test::capture([&] {
        unix_send_error(sockets->server, reinterpret_cast<sockaddr*>(&peer), len, big.c_str(), 0);
        unix_send_error(sockets->server, reinterpret_cast<sockaddr*>(&peer), len, "abcdef", 3);
    });
    EXPECT_EQ(s.err, big.substr(0, 255) + "\nabc\n");
    Reply a = sockets->receive();
    EXPECT_EQ(a.flags, 3u);
    EXPECT_EQ(a.text(), big.substr(0, 255));
    Reply b = sockets->receive();
    EXPECT_EQ(b.text(), "abc");
}

// The buffer grows to the largest payload and keeps every byte of a text.
TEST_F(Rpc, PayloadBufferGrowsAndKeepsText)
{
    Start();
    const char* names[] = {"in_b", "input", "in_b"};
    for (const char* name : names) {
        Reply r = Call(req(5, 0).encode(bytes_of(std::string(name))));
        EXPECT_EQ(r.flags, 0u);
        EXPECT_STREQ(nn_server_input_name(srv->server), name);
    }
    EXPECT_EQ(srv->server->rpc_capacity, 5u);
    Call(req(0, 0x0001).encode(bytes_of(std::vector<float>{2, 2, 2, 2})));
    EXPECT_EQ(srv->server->rpc_capacity, 16u);
    EXPECT_EQ(floats_of(srv->server, "in_b"), (std::vector<float>{2, 2, 2, 2}));
}

// A payload buffer grown past the threshold for one datagram is given back
// once that datagram is answered; the next payload grows it again.
TEST_F(Rpc, OutsizedPayloadBufferIsGivenBack)
{
    Start();
    const int send_size = 4 << 20;
    if (setsockopt(sockets->client, SOL_SOCKET, SO_SNDBUFFORCE, &send_size, sizeof send_size) != 0)
        GTEST_SKIP() << "a datagram above 1 MiB needs SO_SNDBUFFORCE";
    Reply small = Call(req(5, 0).encode(bytes_of(std::string("input"))));
    EXPECT_EQ(small.flags, 0u);
    EXPECT_EQ(srv->server->rpc_capacity, 5u);
    std::vector<uint8_t> payload((3u << 20) / 2, 'x');
    Reply big = Call(req(0, 0).encode(payload));
    EXPECT_EQ(big.flags, 0u) << big.text();
    EXPECT_EQ(srv->server->rpc_capacity, 0u);
    EXPECT_EQ(srv->server->rpc_buffer, nullptr);
    Call(req(0, 0x0001).encode(bytes_of(std::vector<float>{2, 2, 2, 2})));
    EXPECT_EQ(srv->server->rpc_capacity, 16u);
    EXPECT_EQ(floats_of(srv->server, "input"), (std::vector<float>{2, 2, 2, 2}));
}

// Every truncation of a full request, and random headers and payloads, get
// exactly one reply each (ASan checks that nothing is read past the data).
TEST_F(Rpc, TruncationsAndRandomDatagrams)
{
    Start();
    const std::vector<uint8_t> full = req(7, 0x01f1).encode(bytes_of(std::vector<float>{1, 2, 3, 4}));
    for (size_t n = 0; n <= full.size(); ++n) {
        SCOPED_TRACE(n);
        Reply r = Call(std::vector<uint8_t>(full.begin(), full.begin() + long(n)));
        ASSERT_TRUE(r.received);
        if (n < 24) {
            EXPECT_EQ(r.text(), "insufficient memory to receive unix rpc message (" + std::to_string(long(n) - 24) +
                                    " bytes)\n");
        } else if (n == 24) {
            EXPECT_EQ(r.text(), "RPC_LOAD_INPUT requested but no input provided");
        } else if (n < full.size()) {
            EXPECT_EQ(r.text(), "RPC_LOAD_INPUT payload size " + std::to_string(n - 24) + " != 16 needed by input");
        } else {
            EXPECT_EQ(r.flags, 0xf0u) << r.text();
        }
        EXPECT_TRUE(sockets->client_idle(0));
    }
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int i = 0; i < 60; ++i) {
        std::vector<uint8_t> d(next() % 64);
        for (auto& b : d)
            b = uint8_t(next() >> 24);
        if (d.size() >= 2)
            d[0] = uint8_t(d[0] % 9), d[1] = 0;  // mostly known commands
        if (d.size() >= 24)
            d[20] = d[21] = d[22] = d[23] = 0;  // no frame address
        Reply r = Call(d);
        ASSERT_TRUE(r.received) << i;
        EXPECT_TRUE(sockets->client_idle(0)) << i;
    }
}

// Names, tensors and times are those of one server for both protocols.
TEST_F(Rpc, StateSharedWithHttp)
{
    Start();
    Call(req(5, 0).encode(bytes_of(std::string("in_b"))));
    Call(req(6, 0).encode(bytes_of(std::string("in_b"))));
    Reply run = Call(req(7, 0x0001).encode(bytes_of(std::vector<float>{0, 7, 0, 0})));
    ASSERT_EQ(run.flags, 0u);
    ASSERT_GT(run.run_time, 0u);

    std::string response = http(srv->server, "POST", "/v1?run=0");
    ASSERT_EQ(response.rfind("HTTP/1.1 200", 0), 0u) << response;
    size_t at = response.find("\"timing\"");
    ASSERT_NE(at, std::string::npos) << response;
    at = response.find_first_of("0123456789", at);
    EXPECT_EQ(std::strtoull(response.c_str() + at, nullptr, 10), run.run_time) << response;

    // An upload names the input and output after the new model.
    kfm::Buffer model = reshape_model();
    std::string body = "--XyZ\r\nContent-Disposition: form-data; name=\"block_content\"; filename=\"m.kfm\"\r\n"
                       "Content-Type: application/octet-stream\r\n\r\n" +
                       std::string(reinterpret_cast<const char*>(model.data()), model.size()) + "\r\n--XyZ--\r\n";
    response = http(srv->server, "PUT", "/v1", body);
    EXPECT_NE(response.find("200"), std::string::npos) << response.substr(0, 200);
    EXPECT_STREQ(nn_server_input_name(srv->server), "input");
    EXPECT_STREQ(nn_server_output_name(srv->server), "output");
    Reply after = Call(req(7, 0x0011).encode(bytes_of(std::vector<float>{0, 0, 5, 0})));
    EXPECT_EQ(text_parts(after.body), (std::vector<std::string>{"2"}));
}

}  // namespace
