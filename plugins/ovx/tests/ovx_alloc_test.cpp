// Allocation failures in the OpenVX plug-in and the graph library linked into
// this program (malloc, calloc and realloc wrapped): with the k-th allocation
// failing, a model load gives a status with nothing half-built, a session of
// upload, inference and description answers with well-formed replies, and the
// same server then answers as an undisturbed one.
#include "failing_alloc.h"

#include <string>
#include <vector>

#include "ovx_models.h"
#include "ovx_server.h"
#include "ovxlib/ovxlib_test.h"
#include "linked_plugin.h"

namespace {

using namespace plugin_call;

void around(bool start)
{
    if (start)
        failing_alloc::resume();
    else
        failing_alloc::pause();
}

TEST(OvxAllocationFailure, ModelLoad)
{
    kfm_parts::TempDir dir;
    const std::string path = dir.file("m.kfm", kfm::write(ovx_models::hidden_softmax()));
    bool id_array_refused = false;
    for (int k = 0; k < 1000; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
        Server server;
        testing::internal::CaptureStderr();
        failing_alloc::arm(k);
        const int status = nn_server_model_load(server.s, path.c_str(), 1);
        failing_alloc::disarm();
        testing::internal::GetCapturedStderr();
        if (failing_alloc::calls <= k) {
            EXPECT_EQ(status, 0);
            EXPECT_TRUE(id_array_refused) << "the tensor-id array is allocated first";
            return;
        }
        id_array_refused = id_array_refused || status == 3;
        EXPECT_TRUE(status == 1 || status == 3) << status;
        EXPECT_EQ(nn_server_model_validated(server.s), 0);
        EXPECT_EQ(server.s->graph, nullptr);
        EXPECT_EQ(server.s->tensor_ids, nullptr);
        EXPECT_EQ(ovxlib_test_live_graphs(), 0u);
        EXPECT_EQ(nn_server_model_load(server.s, path.c_str(), 1), 0) << "after the failed load";
    }
    ADD_FAILURE() << "more than 1000 allocations";
}

// What a session compares: each reply's status and body.
std::vector<std::string> session(nn_server* s, bool armed)
{
    void (*hook)(bool) = armed ? around : nullptr;
    const std::string x = floats({0.5f, -1, 2, 0});
    std::vector<std::string> got;
    auto note = [&](const Reply& r) { got.push_back(std::to_string(r.status) + " " + r.body); };
    note(call(s, put_whole(bytes_of(kfm::write(ovx_models::hidden_softmax()))), hook));
    Reply r = call(s, post("/v1/infer?run=2&output=hidden&output=output", "application/json", PLUGIN_TENSOR_MIME, x),
                   hook);
    const size_t outputs = r.body.find("\"outputs\"");  // the times differ from run to run
    got.push_back(std::to_string(r.status) + " " + (outputs == std::string::npos ? r.body : r.body.substr(outputs)));
    note(call(s, post("/v1/infer?run=1", "text/plain", PLUGIN_TENSOR_MIME, x), hook));
    r = call(s, Request{"GET", "/v1/model", {}, ""}, hook);
    got.push_back(std::to_string(r.status) + (r.body.find("\"name\":\"hidden\"") != std::string::npos ? " named" : ""));
    r = call(s, Request{"GET", "/", {}, ""}, hook);
    got.push_back(std::to_string(r.status) + (r.body.find("\"engine\":\"kestrunert openvx\"") != std::string::npos
                                                  ? " engine"
                                                  : ""));
    return got;
}

std::vector<std::string> quiet_session(nn_server* s, bool armed)
{
    testing::internal::CaptureStderr();
    std::vector<std::string> got = session(s, armed);
    testing::internal::GetCapturedStderr();
    return got;
}

TEST(OvxAllocationFailure, UploadInferDescribe)
{
    std::vector<std::string> want;
    {
        Server clean;
        want = quiet_session(clean.s, false);
    }
    ASSERT_EQ(want[0], "200 {\"reply\": \"success\"}");
    ASSERT_EQ(want[2], "200 c");
    for (int k = 0; k < 5000; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
        Server server;
        failing_alloc::arm(k);
        failing_alloc::pause();
        std::vector<std::string> got = quiet_session(server.s, true);
        failing_alloc::disarm();
        if (failing_alloc::calls <= k) {
            EXPECT_EQ(got, want);
            return;
        }
        EXPECT_EQ(quiet_session(server.s, false), want) << "after the failed session";
    }
    ADD_FAILURE() << "more than 5000 allocations";
}

}  // namespace
