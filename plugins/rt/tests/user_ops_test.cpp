// User operations: the handler list is process-wide, so CTest runs every case
// in a process of its own.

#include "kfm_test_util.h"
#include "rpc_fixture.h"
#include "user_ops.h"

using namespace rpc_test;

namespace {

const std::string kLibA = std::string(UOP_DIR) + "/libuop_a.so";
const std::string kLibB = std::string(UOP_DIR) + "/libuop_b.so";

struct Loaded {
    int status = -1;
    kfm_test::Streams streams;
};

Loaded user_ops(nn_server* server, const char* list)
{
    Loaded l;
    l.streams = kfm_test::capture([&] { l.status = nn_server_user_ops(server, list); });
    return l;
}

class UserOps : public testing::Test {
protected:
    // Runs the user_op model of `opname` over `in`; the run's status.
    int Run(const std::string& opname, const std::vector<float>& in, std::vector<float>* out,
            std::string* err = nullptr)
    {
        EXPECT_EQ(srv.load(dir.file(opname + ".kfm", user_op_model(opname))), 0);
        nn_context* ctx = nn_server_context(srv.server);
        kfm_test::write_floats(nn_context_tensor(ctx, "input"), in);
        int status = -1;
        auto s = kfm_test::capture([&] { status = nn_context_run(ctx); });
        if (err)
            *err = s.err;
        if (out)
            *out = kfm_test::floats(nn_context_tensor(ctx, "output"));
        return status;
    }
    TempDir dir;
    ServerHandle srv;
};

TEST_F(UserOps, TwoLibrariesLoadInOrderAndDispatchFirstTaker)
{
    std::string list = kLibA + "," + kLibB + ":scale_handler";
    Loaded l = user_ops(srv.server, list.c_str());
    EXPECT_EQ(l.status, 0);
    EXPECT_EQ(l.streams.out, "loaded user_op handler 'user_op' from " + kLibA +
                                 "\nloaded user_op handler 'scale_handler' from " + kLibB + "\n");
    EXPECT_EQ(l.streams.err, "");
    EXPECT_EQ(rt_user_op_handler_count(), 2u);

    const std::vector<float> in = {1, -2, 3, 0.5f};
    struct {
        const char* op;
        int status;
        std::vector<float> out;
        const char* err;
    } rows[] = {
        {"double", 0, {2, -4, 6, 1}, ""},   // a declines, b takes it
        {"negate", 0, {-1, 2, -3, -0.5f}, ""},  // a first: b's marker never shows
        {"mystery", 5, {}, "brindlecast: no user_op handler for mystery\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.op);
        std::vector<float> out;
        std::string err;
        EXPECT_EQ(Run(row.op, in, &out, &err), row.status);
        EXPECT_NE(err.find(row.err), std::string::npos) << err;
        if (row.status == 0) {
            EXPECT_EQ(out, row.out);
        }
    }
}

TEST_F(UserOps, SecondCallAppends)
{
    EXPECT_EQ(user_ops(srv.server, kLibB.c_str()).status, 0);  // no "user_op" in b
    EXPECT_EQ(rt_user_op_handler_count(), 0u);
    std::string list = kLibB + ":scale_handler";
    EXPECT_EQ(user_ops(srv.server, list.c_str()).status, 0);
    EXPECT_EQ(user_ops(srv.server, kLibA.c_str()).status, 0);
    EXPECT_EQ(rt_user_op_handler_count(), 2u);
    std::vector<float> out;
    EXPECT_EQ(Run("negate", {1, 2, 3, 4}, &out), 0);
    EXPECT_EQ(out, (std::vector<float>{777, 777, 777, 777}));  // b was loaded first
}

TEST_F(UserOps, BadListsAndMissingPieces)
{
    const std::string missing = dir.path + "/libnothing.so";
    struct {
        std::string list;
        int status;
        std::string err_prefix;
        size_t loaded;
    } rows[] = {
        {missing, 0, "[WARNING] failed to load user library " + missing + ": ", 0},
        {kLibA + ":nosuch", 0, "[WARNING] failed to load user op handler 'nosuch' from " + kLibA + ": ", 0},
        {":x", 1, "badly formed user_op string: :x\n", 0},
        {"", 0, "", 0},
        {",,", 0, "", 0},
        {kLibA + ",:y," + kLibB + ":scale_handler", 1, "badly formed user_op string: :y\n", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.list);
        size_t before = rt_user_op_handler_count();
        Loaded l = user_ops(srv.server, row.list.c_str());
        EXPECT_EQ(l.status, row.status);
        EXPECT_EQ(l.streams.err.rfind(row.err_prefix, 0), 0u) << l.streams.err;
        EXPECT_EQ(rt_user_op_handler_count() - before, row.loaded);
    }
    Loaded none = user_ops(srv.server, nullptr);
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.streams.out + none.streams.err, "");
}

TEST_F(UserOps, RegistrationRefused)
{
    Loaded l = user_ops(nullptr, kLibA.c_str());
    EXPECT_NE(l.status, 0);
    EXPECT_EQ(l.streams.err,
              std::string("failed to register user_ops handler: ") + nn_strerror(l.status) + "\n");
    EXPECT_EQ(rt_user_op_handler_count(), 0u);
}

TEST_F(UserOps, WithoutHandlersTheRunFails)
{
    EXPECT_EQ(user_ops(srv.server, nullptr).status, 0);
    std::string err;
    EXPECT_EQ(Run("negate", {1, 2, 3, 4}, nullptr, &err), 5);
    EXPECT_NE(err.find("brindlecast: no user_op handler for negate\n"), std::string::npos) << err;
}

// Run failures reach HTTP and RPC clients with their status text, or
// "unknown error" for a status that has none.
TEST_F(UserOps, RunFailuresOverHttpAndRpc)
{
    EXPECT_EQ(user_ops(srv.server, kLibA.c_str()).status, 0);
    ASSERT_EQ(srv.load(dir.file("m.kfm", user_op_model("mystery"))), 0);

    const std::string response = http(srv.server, "POST", "/v1?run=1");
    EXPECT_EQ(response.rfind("HTTP/1.1 500", 0), 0u) << response;
    EXPECT_NE(response.find("model error: not implemented"), std::string::npos) << response;

    SocketPair sockets;
    ASSERT_EQ(srv.load(dir.file("f.kfm", user_op_model("fortytwo"))), 0);
    Request r;
    r.command = 7;
    ASSERT_TRUE(sockets.send(r.encode()));
    kfm_test::capture([&] { nn_server_unix_handler(srv.server, sockets.server); });
    Reply reply = sockets.receive();
    EXPECT_EQ(reply.flags, 3u);
    EXPECT_EQ(reply.text(), "failed to run model: unknown error");
}

}  // namespace
