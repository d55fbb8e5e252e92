// The server over a compute engine: the stand-in OpenCL engine found on the
// loader path, built to load (RT_ENGINE_LOADS 1) or to fail (0).
#include "rt_test_util.h"

using namespace rt_test;

namespace {

#if RT_ENGINE_LOADS

TEST(RtEngine, LoadsAndShowsInTheDescription)
{
    testing::internal::CaptureStdout();
    nn_server* s = nn_server_init(1, 0, nullptr, 0, nullptr, 1u << 20, nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(out, "Loaded opencl compute backend\n");
    Reply engine = call(s, Request{"GET", "/", {}, ""});
    EXPECT_NE(engine.body.find(",\"plugin\":\"opencl-stub\",\"model_limits\":"), std::string::npos) << engine.body;
    // Inference runs and syncs the last layer through the engine.
    Reply up = call(s, put_whole(bytes_of(kfm::write(classifier()))));
    EXPECT_EQ(up.body, "{\"reply\": \"success\"}");
    Reply r = call(s, post("/v1/infer?run=2", "text/plain", "application/vnd.kestrune.tensor",
                           floats({0, 0, 5, 1})));
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body, "c");
    nn_server_release(s);
}

#else

TEST(RtEngine, FailedLoadReportsAndReturnsNull)
{
    testing::internal::CaptureStderr();
    nn_server* s = nn_server_init(1, 0, nullptr, 0, nullptr, 1u << 20, nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(err, std::string("failed to load engine plugin: ") + nn_strerror(4) + "\n");
}

#endif

}  // namespace
