// Server record, plug-in record and model file loading.
#include <errno.h>

#include "rt_test_util.h"

using namespace rt_test;

namespace {

std::string capture_err(const std::function<void()>& f)
{
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

TEST(RtPlugin, InitFillsOnlyItsFields)
{
    nn_plugin record;
    std::memset(&record, 0, sizeof record);
    record.server = reinterpret_cast<nn_server*>(0x10);
    record.library = reinterpret_cast<void*>(0x20);
    record.reserved = nullptr;
    ASSERT_EQ(nn_plugin_init(&record), 0);
    EXPECT_STREQ(record.name, "KestruneRT");
    EXPECT_STREQ(record.version, nn_version());
    EXPECT_EQ(record.server, reinterpret_cast<nn_server*>(0x10));
    EXPECT_EQ(record.library, reinterpret_cast<void*>(0x20));
    EXPECT_EQ(record.reserved, nullptr);
    EXPECT_EQ(record.nn_plugin_init, nullptr);
    EXPECT_EQ(record.nn_server_init, &nn_server_init);
    EXPECT_EQ(record.nn_server_http_handler, &nn_server_http_handler);
    EXPECT_EQ(record.nn_server_model_benchmark, &nn_server_model_benchmark);
    EXPECT_EQ(record.nn_server_unix_handler, &nn_server_unix_handler);
}

TEST(RtServer, FreshRecordAndPlaceholders)
{
    Server s;
    EXPECT_EQ(nn_server_sizeof(), sizeof(struct nn_server));
    EXPECT_STREQ(nn_server_input_name(s), "input");
    EXPECT_STREQ(nn_server_output_name(s), "output");
    EXPECT_EQ(nn_server_model_validated(s), 0);
    EXPECT_NE(nn_server_context(s), nullptr);
    EXPECT_EQ(nn_server_model(s), nullptr);
    nn_plugin_options options{99, 7, -1};
    EXPECT_EQ(nn_server_options(s, &options), 0);
    EXPECT_EQ(nn_server_user_ops(s, "lib.so:fn"), 0);  // a library that does not open is skipped
    // The name setters keep a copy of their own.
    std::string name = "renamed";
    nn_server_set_output_name(s, name.c_str());
    name[0] = 'X';
    EXPECT_STREQ(nn_server_output_name(s), "renamed");
}

TEST(RtServer, LoadFailuresAndRecovery)
{
    TempDir dir;
    Server s;
    errno = 0;
    EXPECT_EQ(nn_server_model_load(s, (dir.path + "/missing.kfm").c_str(), 1), 18);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(nn_server_model_validated(s), 0);

    std::string junk = dir.write("junk.kfm", std::string(64, 'j'));
    int status = 0;
    std::string err = capture_err([&] { status = nn_server_model_load(s, junk.c_str(), 1); });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err.rfind("[ERROR] invalid model: ", 0), 0u) << err;
    EXPECT_EQ(nn_server_model_validated(s), 0);
    EXPECT_NE(nn_server_model(s), nullptr) << "the mapping stays until the next load";

    // A following good load replaces the mapping.
    kfm::Buffer good = kfm::write(chain10());
    std::string path = dir.write("chain.kfm", bytes_of(good));
    ASSERT_EQ(nn_server_model_load(s, path.c_str(), 1), 0);
    EXPECT_NE(nn_server_model_validated(s), 0);
    ASSERT_NE(nn_server_model(s), nullptr);
    EXPECT_EQ(std::memcmp(nn_server_model(s), good.data(), good.size()), 0);
    nn_server* raw = s;
    ASSERT_EQ(raw->layer_timing_count, 10u);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(raw->layer_timing[i], 0) << i;

    nn_server_model_unload(s);
    EXPECT_EQ(nn_server_model_validated(s), 0);
    EXPECT_EQ(nn_server_model(s), nullptr);

    // An empty file cannot be mapped: 18 with the cause in errno.
    std::string empty = dir.write("empty.kfm", "");
    errno = 0;
    EXPECT_EQ(nn_server_model_load(s, empty.c_str(), 1), 18);
    EXPECT_NE(errno, 0);
}

TEST(RtServer, FailedWarmRunLeavesModelUnready)
{
    // A softmax layer has no runner in this build of the runtime; whatever
    // the runtime answers, a failing warm-up must leave the server unready.
    kfm::Model m = classifier();
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 4}),
                                       f32("output", NN_LAYER_USER_OP, {1, 4}, {0})};
    TempDir dir;
    std::string path = dir.write("userop.kfm", bytes_of(kfm::write(m)));
    Server s;
    int status = 0;
    capture_err([&] { status = nn_server_model_load(s, path.c_str(), 1); });
    EXPECT_NE(status, 0);
    EXPECT_EQ(nn_server_model_validated(s), 0);
    // Without the warm-up the same model is ready.
    EXPECT_EQ(nn_server_model_load(s, path.c_str(), 0), 0);
    EXPECT_NE(nn_server_model_validated(s), 0);
}

TEST(RtServer, LayerlessModelLoads)
{
    TempDir dir;
    std::string path = dir.write("empty.kfm", bytes_of(kfm::write(layerless())));
    Server s;
    ASSERT_EQ(nn_server_model_load(s, path.c_str(), 1), 0);
    EXPECT_NE(nn_server_model_validated(s), 0);
    nn_server* raw = s;
    EXPECT_EQ(raw->layer_timing_count, 0u);
}

TEST(RtServer, ReleaseWithoutModelAndCleanup)
{
    nn_server* s = nn_server_init(0, 0, nullptr, 0, nullptr, 1024, nullptr);
    ASSERT_NE(s, nullptr);
    nn_plugin record;
    std::memset(&record, 0, sizeof record);
    nn_plugin_init(&record);
    record.server = s;
    record.nn_plugin_cleanup(&record);  // leak checks see the rest
}

}  // namespace
