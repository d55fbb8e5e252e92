// The i.MX execution-provider functions, defined by this program: the
// plug-in's weak references bind to them. Each call is recorded; a call
// fails when the test asks, with a status made by ONNX Runtime's table.
#include "onnx_test_support.h"

using namespace onnx_test;

namespace {

struct ProviderCalls {
    int acl = 0, armnn = 0, vsinpu = 0;
    int last_argument = -1;
    OrtSessionOptions* last_options = nullptr;
    bool fail = false;
};
ProviderCalls calls;

OrtStatus* answer(int* counter, OrtSessionOptions* options, int argument)
{
    ++*counter;
    calls.last_options = options;
    calls.last_argument = argument;
    if (!calls.fail)
        return nullptr;
    return OrtGetApiBase()->GetApi(ONNX_API_VERSION)->CreateStatus(ORT_FAIL, "provider refused the options");
}

} // namespace

extern "C" {
__attribute__((visibility("default"))) OrtStatus* OrtSessionOptionsAppendExecutionProvider_ACL(OrtSessionOptions* o,
                                                                                                int use_arena)
{
    return answer(&calls.acl, o, use_arena);
}
__attribute__((visibility("default"))) OrtStatus* OrtSessionOptionsAppendExecutionProvider_ArmNN(OrtSessionOptions* o,
                                                                                                  int use_arena)
{
    return answer(&calls.armnn, o, use_arena);
}
__attribute__((visibility("default"))) OrtStatus* OrtSessionOptionsAppendExecutionProvider_VsiNpu(OrtSessionOptions* o,
                                                                                                   int device)
{
    return answer(&calls.vsinpu, o, device);
}
}

namespace {

struct Present {
    int compute;
    int ProviderCalls::*counter;
    const char* preference;
};

TEST(OnnxProvidersPresent, EachProviderIsAppendedBeforeTheCpu)
{
    ASSERT_TRUE(Plugin::get().ok());
    TempDir dir;
    std::string model = dir.model("gap", gap_model());
    const Present rows[] = {
        {1, &ProviderCalls::acl, "Prefer ACL execution provider\n"},
        {2, &ProviderCalls::armnn, "Prefer ArmNN execution provider\n"},
        {3, &ProviderCalls::vsinpu, "Prefer Vsi_Npu execution provider\n"},
    };
    for (const Present& row : rows) {
        calls = ProviderCalls();
        Server server;
        ASSERT_EQ(server.options(1, row.compute, 3), 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(server.load(model), 0);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(calls.*row.counter, 1) << row.preference;
        EXPECT_EQ(calls.acl + calls.armnn + calls.vsinpu, 1) << row.preference;
        EXPECT_EQ(calls.last_argument, 0);
        EXPECT_EQ(calls.last_options, server->options);
        EXPECT_NE(out.find(row.preference), std::string::npos) << out;

        // A failing append: its message, 18, nothing loaded.
        calls.fail = true;
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        EXPECT_EQ(server.load(model), 18);
        out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("provider refused the options\n"), std::string::npos) << err;
        EXPECT_EQ(out.find("Prefer"), std::string::npos) << out;
        EXPECT_EQ(engine().nn_server_model_validated(server), 0);
        EXPECT_EQ(server->options, nullptr);
    }
    // The CPU provider alone calls none of them.
    calls = ProviderCalls();
    Server server;
    EXPECT_EQ(server.load(model), 0);
    EXPECT_EQ(calls.acl + calls.armnn + calls.vsinpu, 0);
}

} // namespace
