// Allocation failures in the runtime plug-in (the program is linked with
// --wrap for malloc, calloc and realloc): a server is made, a model uploaded,
// inference requested in JSON and as a label, and the model described, with
// the k-th allocation of the handler calls failing.  Every reply sent is
// well formed, nothing leaks, and the same requests without failures then
// answer as on an undisturbed server.
#include <dlfcn.h>

#include "failing_alloc.h"
#include "rt_test_util.h"
#include "user_ops.h"

using namespace rt_test;

namespace {

void around(bool start)
{
    if (start)
        failing_alloc::resume();
    else
        failing_alloc::pause();
}

// What a run compares: each reply's status and its stable part.
std::vector<std::string> session(nn_server* s, bool armed)
{
    const std::vector<float> x = {0.5f, -1, 2, 0};
    void (*hook)(bool) = armed ? around : nullptr;
    std::vector<std::string> got;
    Reply r = call(s, put_whole(bytes_of(kfm::write(softmax_classifier()))), hook);
    got.push_back(std::to_string(r.status) + " " + r.body);
    r = call(s, post("/v1/model?output=output", "application/json", "application/vnd.kestrune.tensor", floats(x)),
             hook);
    size_t data = r.body.find("\"data\":");
    got.push_back(std::to_string(r.status) + " " +
                  (data == std::string::npos ? r.body : r.body.substr(data, r.body.find('"', data + 8) - data)));
    r = call(s, post("/v1/model", "text/plain", "application/vnd.kestrune.tensor", floats(x)), hook);
    got.push_back(std::to_string(r.status) + " " + r.body + " " + r.header("X-Softmax"));
    r = call(s, Request{"GET", "/v1/model", {}, ""}, hook);
    got.push_back(std::to_string(r.status) + (r.body.find("\"name\":\"softmax\"") != std::string::npos ? " named" : ""));
    return got;
}

TEST(RtAllocationFailure, ServerInit)
{
    for (int k = 0; k < 100; ++k) {
        failing_alloc::arm(k);
        nn_server* s = nn_server_init(0, 0, nullptr, 0, nullptr, 1u << 20, nullptr);
        failing_alloc::disarm();
        if (failing_alloc::calls <= k) {
            ASSERT_NE(s, nullptr);
            nn_server_release(s);
            return;
        }
        nn_server_release(s);  // NULL, or a server that must still be whole
    }
    ADD_FAILURE() << "more than 100 allocations";
}

TEST(RtAllocationFailure, UploadInferDescribe)
{
    std::vector<std::string> want;
    {
        Server clean;
        want = session(clean.s, false);
    }
    ASSERT_EQ(want[0], "200 {\"reply\": \"success\"}");
    ASSERT_EQ(want[2].substr(0, 4), "200 ");
    for (int k = 0; k < 2000; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
        Server server;
        failing_alloc::arm(k);
        failing_alloc::pause();
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        std::vector<std::string> got = session(server.s, true);
        failing_alloc::disarm();
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        if (failing_alloc::calls <= k) {
            EXPECT_EQ(got, want);
            EXPECT_GT(k, 0);
            return;
        }
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        std::vector<std::string> again = session(server.s, false);
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(again, want) << "after the failed session";
    }
    ADD_FAILURE() << "more than 2000 allocations";
}

// A user library whose handler the list could not take is closed again, and
// the load says out of memory; once the list takes it, it stays.
TEST(RtAllocationFailure, UserOpLibrary)
{
    const std::string lib = std::string(UOP_DIR) + "/libuop_a.so";
    Server server;
    for (int k = 0; k < 100; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        failing_alloc::arm(k);
        int status = nn_server_user_ops(server.s, lib.c_str());
        failing_alloc::disarm();
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        void* loaded = dlopen(lib.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (loaded)
            dlclose(loaded);
        if (failing_alloc::calls <= k) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(out, "loaded user_op handler 'user_op' from " + lib + "\n");
            EXPECT_NE(loaded, nullptr);
            EXPECT_EQ(rt_user_op_handler_count(), 1u);
            return;
        }
        EXPECT_EQ(status, 3);
        EXPECT_NE(err.find("out of memory"), std::string::npos) << err;
        EXPECT_EQ(loaded, nullptr) << "the library stays loaded without a handler";
        EXPECT_EQ(rt_user_op_handler_count(), 0u);
    }
    ADD_FAILURE() << "more than 100 allocations";
}

// The reply buffer grown for one large reply is shrunk once the reply is
// written; when that shrink fails the reply is whole all the same, the
// buffer stays as it was, and the next request shrinks it.
TEST(RtAllocationFailure, FailedShrinkKeepsTheReplyBuffer)
{
    kfm::Model wide;
    wide.name = "wide";
    wide.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 1 << 18}),
                                          f32("output", NN_LAYER_RESHAPE, {1, 1 << 18}, {0})};
    const Request big = post("/v1/infer?output=output");
    Server server;
    ASSERT_EQ(call(server.s, put_whole(bytes_of(kfm::write(wide)))).status, 200);
    // The allocations of one large reply, the shrink the last of them.
    failing_alloc::arm(1 << 30);
    failing_alloc::pause();
    Reply counted = call(server.s, big, around);
    const int allocations = failing_alloc::calls;
    failing_alloc::disarm();
    ASSERT_EQ(counted.status, 200);
    ASSERT_GT(allocations, 0);
    EXPECT_EQ(server.s->common.json.capacity, RT_MIN_REPLY_BUFFER);

    failing_alloc::arm(allocations - 1);
    failing_alloc::pause();
    Reply r = call(server.s, big, around);
    failing_alloc::disarm();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, counted.body);
    EXPECT_GT(server.s->common.json.capacity, (uint64_t)RT_KEEP_BUFFER) << "the shrink did not fail";
    ASSERT_NE(server.s->common.json.text, nullptr);
    Reply next = call(server.s, Request{"OPTIONS", "/", {}, ""});
    EXPECT_EQ(next.status, 204);
    EXPECT_EQ(server.s->common.json.capacity, RT_MIN_REPLY_BUFFER);
}

}  // namespace
