// The plug-in in a program that defines none of the i.MX provider functions:
// each of them is reported absent and the load fails with 18.
#include "onnx_test_support.h"

using namespace onnx_test;

namespace {

struct Absent {
    int compute;
    const char* name;
};

TEST(OnnxProvidersAbsent, EachProviderFailsTheLoadWithItsName)
{
    ASSERT_TRUE(Plugin::get().ok());
    TempDir dir;
    std::string model = dir.model("gap", gap_model());
    for (Absent a : {Absent{1, "ACL"}, Absent{2, "ArmNN"}, Absent{3, "Vsi_Npu"}}) {
        Server server;
        ASSERT_EQ(server.options(1, a.compute, 3), 0);
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        int status = server.load(model);
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, 18) << a.name;
        EXPECT_NE(err.find(std::string("[ERROR] ") + a.name + " execution provider is not available\n"),
                  std::string::npos)
            << err;
        EXPECT_EQ(out.find("Prefer"), std::string::npos) << out;
        EXPECT_EQ(engine().nn_server_model_validated(server), 0);
        // The CPU provider alone still loads the model in the same server.
        ASSERT_EQ(server.options(1, 0, 3), 0);
        EXPECT_EQ(server.load(model), 0);
    }
}

} // namespace
