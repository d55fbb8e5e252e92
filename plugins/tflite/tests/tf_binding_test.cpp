// The plug-in over TensorFlow Lite itself (built only where it is found):
// the test tree's writer's pool model loaded from a file and from an upload,
// benchmarked and served.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "multipart_body.h"
#include "tf_http_call.h"
#include "tf_server.h"
#include "tflite_writer.h"

using namespace tfhttp;

namespace {

struct Dir {
    std::string path;
    Dir()
    {
        char tmpl[] = "/tmp/tf-binding-XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~Dir() { std::system(("rm -rf " + path).c_str()); }
    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const
    {
        std::string file = path + "/" + name;
        EXPECT_TRUE(tflite_test::write_file(file, bytes));
        return file;
    }
};

struct Server {
    nn_server* s = nn_server_init(0, 0, nullptr, 0, nullptr, 64u << 20, nullptr);
    ~Server() { nn_server_release(s); }
    operator nn_server*() const { return s; }
};

std::string text_of(const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); }

// input [1,4,4,3] float32 -> AVERAGE_POOL_2D over the whole picture -> [1,1,1,3].
std::vector<uint8_t> pool_bytes() { return tflite_test::write(tflite_test::pool_model(tflite_test::TensorType::float32)); }

TEST(TfBinding, LoadsTheWritersModelFromAFile)
{
    Dir dir;
    Server s;
    testing::internal::CaptureStdout();
    ASSERT_EQ(nn_server_model_load(s, dir.write("pool.tflite", pool_bytes()).c_str(), 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Model loaded and validated\n");
    ASSERT_NE(s.s->interpreter, nullptr);
    EXPECT_EQ(s.s->interpreter->node_count(), 1u);
    EXPECT_STREQ(s.s->interpreter->node_op_name(0), "AVERAGE_POOL_2D");
    EXPECT_STREQ(s.s->interpreter->node_op_name(5), "");

    std::vector<uint8_t> junk(256, 'x');
    testing::internal::CaptureStderr();
    EXPECT_EQ(nn_server_model_load(s, dir.write("junk.tflite", junk).c_str(), 1), 21);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(nn_server_model_validated(s), 0);
}

TEST(TfBinding, UploadsAreVerified)
{
    Server s;
    const std::string good = text_of(pool_bytes());
    Reply r = call(s, "PUT", "/v1/model", {}, multipart_body::multipart({{"block_content", good, "m", ""}}));
    EXPECT_EQ(r.body, "{\"reply\": \"success\"}");
    EXPECT_EQ(nn_server_model_validated(s), 1);
    // The identifier intact, the tables cut off.
    std::string cut = good.substr(0, good.size() / 2);
    testing::internal::CaptureStderr();
    r = call(s, "PUT", "/v1/model", {}, multipart_body::multipart({{"block_content", cut, "m", ""}}));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.body, "{\"error\": \"model load error\"}");
    EXPECT_EQ(post(s, "/v1/model").status, 428);
}

TEST(TfBinding, BenchmarkAndInference)
{
    Dir dir;
    Server s;
    testing::internal::CaptureStdout();
    ASSERT_EQ(nn_server_model_load(s, dir.write("pool.tflite", pool_bytes()).c_str(), 1), 0);
    testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(nn_server_model_benchmark(s, 3, 0, -1, 1, 0, 1, "output", nullptr), 0);
    std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(err.find("nodes size: 1\n"), std::string::npos) << err;
    EXPECT_NE(out.find("| AVERAGE_POOL_2D   | "), std::string::npos) << out;

    // A float32 picture whose channel c holds c + the pixel index: the
    // averages are c + 7.5.
    std::vector<float> picture(48);
    for (size_t i = 0; i < 16; ++i)
        for (size_t c = 0; c < 3; ++c)
            picture[i * 3 + c] = static_cast<float>(c + i);
    const std::string data(reinterpret_cast<const char*>(picture.data()), 192);
    Reply r = post(s, "/v1/model?run=2&output=output", {{"Accept", "application/vnd.kestrune.tensor"}},
                   multipart_body::multipart({{"input", data, "1,4,4,3", PLUGIN_FLOAT32_MIME}}));
    ASSERT_EQ(r.status, 200) << r.body;
    ASSERT_EQ(r.body.size(), 12u);
    float averages[3];
    std::memcpy(averages, r.body.data(), 12);
    for (int c = 0; c < 3; ++c)
        EXPECT_FLOAT_EQ(averages[c], static_cast<float>(c) + 7.5f) << c;
    EXPECT_EQ(r.header("X-Tensor-Type"), "FLOAT32");
    EXPECT_EQ(r.header("X-Tensor-Shape"), "1 1 1 3 ");
    EXPECT_TRUE(has(call(s, "GET", "/v1/model").body, "\"type\":\"AVERAGE_POOL_2D\""));
}

}  // namespace
