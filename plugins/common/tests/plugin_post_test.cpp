// The inference-request steps every engine plug-in shares: the body by
// Content-Type and multipart parts, the float32 part checks under each rule,
// the timed-run loop and the reply form by Accept, driven through hook
// records as a plug-in fills them.
#include "plugin_post.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "case_name.h"
#include "multipart_body.h"
#include "platform.h"
#include "plugin_http.h"
#include "shared_test.h"

namespace {

using multipart_body::multipart;
using multipart_body::Part;
using shared_test::read_reply;
using shared_test::Reply;

http_header header(const char* name, const char* value)
{
    return http_header{name, strlen(name), value, strlen(value)};
}

// ---- the body --------------------------------------------------------------------

struct Seen {
    std::vector<std::string> calls;
    std::string refuse;  // the call that answers 499 and ends the request
};

bool record(int socket, Seen* seen, const std::string& call, int* result)
{
    seen->calls.push_back(call);
    if (call != seen->refuse)
        return true;
    *result = plugin_reply_text(socket, 499, "refused");
    return false;
}

bool image_hook(int socket, void* user, const char*, size_t length, int* result)
{
    return record(socket, static_cast<Seen*>(user), "image " + std::to_string(length), result);
}

bool tensor_hook(int socket, void* user, const char*, size_t length, int* result)
{
    return record(socket, static_cast<Seen*>(user), "tensor " + std::to_string(length), result);
}

bool labels_hook(int socket, void* user, const char* body, size_t length, int* result)
{
    return record(socket, static_cast<Seen*>(user), "labels " + std::string(body, length), result);
}

bool part_hook(int socket, void* user, const multipart_part& part, int* result)
{
    return record(socket, static_cast<Seen*>(user),
                  std::string("part ") + part.name + " " + part.content_type + " " +
                      std::string(part.data, static_cast<size_t>(part.length)),
                  result);
}

std::vector<std::string> load(std::vector<http_header> headers, const std::string& body_text,
                              const std::string& refuse = "", bool with_labels = true, int* status = nullptr)
{
    Seen seen;
    seen.refuse = refuse;
    testsock::Pair p;
    const plugin::BodyHooks hooks = {&seen, image_hook, tensor_hook, with_labels ? labels_hook : nullptr, part_hook};
    int result = 0;
    bool went_on =
        plugin::load_body(p.server(), headers.data(), headers.size(), body_text.data(), body_text.size(), hooks, &result);
    Reply r = read_reply(p.client());
    EXPECT_EQ(went_on, refuse.empty() || r.status == 0);
    if (status)
        *status = r.status;
    return seen.calls;
}

TEST(PluginBody, ByContentTypeThenParts)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(load({header("Content-Type", "image/png")}, "12345"), V{"image 5"});
    EXPECT_EQ(load({header("Content-Type", "application/vnd.kestrune.tensor")}, "1234"), V{"tensor 4"});
    EXPECT_EQ(load({header("Content-Type", "application/vnd.kestrune.tensor.float32")}, "12"), V{"tensor 2"});
    EXPECT_EQ(load({header("Content-Type", "labels/plain")}, "a\nb"), V{"labels a\nb"});
    // A plug-in without labels skips such a body.
    EXPECT_EQ(load({header("Content-Type", "labels/plain")}, "a\nb", "", false), V{});
    // Names and prefixes compared exactly; an empty value is neither.
    EXPECT_EQ(load({header("content-type", "image/png"), header("Content-Type", "Image/png"),
                    header("Content-Type", ""), header("Accept", "image/png")},
                   "x"),
              V{});
    // Every Content-Type header in order, then every part of the body.
    const std::string body = multipart({Part("input", "abc", "1,1,1,3", "application/vnd.kestrune.tensor.float32"),
                                        Part("other", "zz")});
    EXPECT_EQ(load({header("Content-Type", "image/jpeg"), header("Content-Type", "multipart/form-data; boundary=XyZ"),
                    header("Content-Type", "application/vnd.kestrune.tensor")},
                   body),
              (V{"image " + std::to_string(body.size()), "tensor " + std::to_string(body.size()),
                 "part input application/vnd.kestrune.tensor.float32 abc", "part other  zz"}));
    // No body, no parts.
    EXPECT_EQ(load({header("Content-Type", "text/plain")}, ""), V{});
}

TEST(PluginBody, RefusalEndsTheRequest)
{
    using V = std::vector<std::string>;
    const std::string body = multipart({Part("a", "1"), Part("b", "2"), Part("c", "3")});
    int status = 0;
    EXPECT_EQ(load({header("Content-Type", "image/png"), header("Content-Type", "image/bmp")}, "xy", "image 2", true,
                   &status),
              V{"image 2"});
    EXPECT_EQ(status, 499);
    EXPECT_EQ(load({}, body, "part b  2", true, &status), (V{"part a  1", "part b  2"}));
    EXPECT_EQ(status, 499);
}

// ---- float32 parts --------------------------------------------------------------------

struct PartCase {
    std::string label;
    plugin::Float32Input input;
    std::string name, filename;
    size_t length;
    int status;
    std::string text;
};

constexpr plugin::ShapeCheck none = plugin::ShapeCheck::none;
constexpr plugin::ShapeCheck hwc = plugin::ShapeCheck::hwc;
constexpr plugin::ShapeCheck all = plugin::ShapeCheck::all;

std::vector<PartCase> part_cases()
{
    // An NHWC input of 2 x 3 x 4 floats (96 bytes), checked by prefix and
    // shape (Arm NN), exactly without shape (ONNX), and by the whole shape
    // of a tensor the caller found by name (the runtime).
    const plugin::Float32Input prefix{"in", true, 96, hwc, {1, 2, 3, 4}};
    const plugin::Float32Input exact{"in", false, 96, none, {0, 0, 0, 0}};
    const plugin::Float32Input whole{nullptr, false, 96, all, {1, 2, 3, 4}};
    const std::string not_found = "Input Tensor Not Found", size = "Input Tensor Size Mismatch",
                      rank = "Input Tensor Rank Too High", shape = "POSTed Tensor Has Incorrect Shape";
    return {
        {"prefix exact name", prefix, "in", "1,2,3,4", 96, 0, ""},
        {"prefix longer name", prefix, "input_0", "1,2,3,4", 96, 0, ""},
        {"prefix shorter name", prefix, "i", "1,2,3,4", 96, 404, not_found},
        {"prefix other name", prefix, "x", "1,2,3,4", 96, 404, not_found},
        {"prefix batch is not checked", prefix, "in", "7,2,3,4", 96, 0, ""},
        {"prefix wrong width", prefix, "in", "1,2,4,3", 96, 400, shape},
        {"prefix too few numbers", prefix, "in", "2,3,4", 96, 400, shape},
        {"prefix empty filename", prefix, "in", "", 96, 400, shape},
        {"prefix malformed shape", prefix, "in", "1,2,x,4", 96, 400, shape},
        {"prefix size before shape", prefix, "in", "9,9,9,9", 95, 400, size},
        {"prefix rank", prefix, "in", "1,2,3,4,1", 96, 400, rank},
        {"exact longer name", exact, "input", "1,2,3,4", 96, 404, not_found},
        {"exact no shape check", exact, "in", "5,5", 96, 0, ""},
        {"exact malformed shape passes", exact, "in", "a,b", 96, 0, ""},
        {"exact rank still checked", exact, "in", "1,1,1,1,96", 96, 400, rank},
        {"exact size", exact, "in", "", 97, 400, size},
        {"whole shape", whole, "anything", "1,2,3,4", 96, 0, ""},
        {"whole batch differs", whole, "anything", "2,2,3,4", 96, 400, shape},
        {"whole missing extents are 1", plugin::Float32Input{nullptr, false, 8, all, {2, 1, 1, 1}}, "t", "2", 8, 0, ""},
    };
}

class Float32Part : public ::testing::TestWithParam<PartCase> {};

TEST_P(Float32Part, CheckAndLoad)
{
    const PartCase& c = GetParam();
    const std::string data(c.length, '\x5A');
    multipart_part part{};
    snprintf(part.name, sizeof part.name, "%s", c.name.c_str());
    snprintf(part.filename, sizeof part.filename, "%s", c.filename.c_str());
    part.data = data.data();
    part.length = c.length;
    const char* text = nullptr;
    EXPECT_EQ(plugin::check_float32_part(part, c.input, &text), c.status);
    if (c.status) {
        EXPECT_EQ(text, c.text);
    }

    std::vector<char> to(c.input.size + 4, '\0');
    testsock::Pair p;
    int result = 0;
    EXPECT_EQ(plugin::load_float32_part(p.server(), part, c.input, to.data(), &result), c.status == 0);
    Reply r = read_reply(p.client());
    if (c.status) {
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.body, c.text);
        EXPECT_EQ(to[0], '\0');
    } else {
        EXPECT_EQ(r.status, 0);  // nothing sent
        EXPECT_EQ(std::string(to.data(), c.input.size), data);
        EXPECT_EQ(to[c.input.size], '\0');
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Float32Part, ::testing::ValuesIn(part_cases()), case_name<PartCase>);

TEST(Float32PartLoad, NoInputBufferFailsToMap)
{
    const std::string data(8, '\0');
    multipart_part part{};
    snprintf(part.name, sizeof part.name, "in");
    part.data = data.data();
    part.length = 8;
    testsock::Pair p;
    int result = 0;
    EXPECT_FALSE(plugin::load_float32_part(p.server(), part, plugin::Float32Input{"in", false, 8, none, {}}, nullptr,
                                           &result));
    Reply r = read_reply(p.client());
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.body, "Failed Map Input Tensor");
}

// ---- timed runs -----------------------------------------------------------------------------

struct Runs {
    int calls = 0;
    int after = 0;
    int fail_at = -1;  // the call (from 0) that fails with 13
};

int run_hook(void* user)
{
    Runs* r = static_cast<Runs*>(user);
    usleep(1000);
    return r->calls++ == r->fail_at ? 13 : 0;
}

void after_hook(void* user)
{
    static_cast<Runs*>(user)->after++;
}

TEST(PluginRuns, WarmupsTimedRunsAndAverage)
{
    struct {
        int warmups, count, fail_at;
        int status, calls, after, runs;
    } cases[] = {
        {0, 0, -1, 0, 0, 0, 0},   {2, 0, -1, 0, 0, 0, 0},    {2, -3, -1, 0, 0, 0, 0},
        {2, 1, -1, 0, 1, 1, 1},   // no warm-up for a single run
        {2, 3, -1, 0, 5, 3, 3},   {1, 3, -1, 0, 4, 3, 3},    {0, 4, -1, 0, 4, 4, 4},
        {2, 3, 1, 13, 2, 0, 0},   // a failing warm-up
        {0, 4, 2, 13, 3, 2, 2},   // the third timed run fails
    };
    for (auto& c : cases) {
        Runs r;
        r.fail_at = c.fail_at;
        const plugin::RunHooks hooks = {&r, c.warmups, run_hook, after_hook, false};
        int64_t run_time = -1;
        int runs = -1;
        EXPECT_EQ(plugin::run_timed(hooks, c.count, &run_time, &runs), c.status) << c.count;
        EXPECT_EQ(r.calls, c.calls) << c.count;
        EXPECT_EQ(r.after, c.after) << c.count;
        EXPECT_EQ(runs, c.runs) << c.count;
        // Each run sleeps 1 ms: the average (or the sum after a failure) is at least that.
        if (c.count < 1) {
            EXPECT_EQ(run_time, 0);
        } else if (c.runs > 0) {
            EXPECT_GE(run_time, 1000000) << c.count;
        }
    }
}

TEST(PluginRuns, AverageNotSum)
{
    Runs r;
    const plugin::RunHooks hooks = {&r, 0, run_hook, nullptr, true};
    int64_t average = 0;
    int runs = 0;
    const int64_t start = clock_now_ns();
    ASSERT_EQ(plugin::run_timed(hooks, 20, &average, &runs), 0);
    const int64_t elapsed = clock_now_ns() - start;
    EXPECT_EQ(runs, 20);
    // Each run takes 1 ms at least; all 20 fit in the time of the whole call.
    EXPECT_GE(average, 1000000);
    EXPECT_LE(average * 20, elapsed);
}

// ---- the reply form ---------------------------------------------------------------------------

int reply_with(int socket, const char* text)
{
    return plugin_reply_text(socket, 200, text);
}
int tensor_reply(int socket, void*)
{
    return reply_with(socket, "tensor");
}
int text_reply(int socket, void*)
{
    return reply_with(socket, "text");
}
int json_reply(int socket, void*)
{
    return reply_with(socket, "json");
}

Reply reply(std::vector<http_header> headers, int outputs, bool has_tensor = true)
{
    testsock::Pair p;
    const plugin::ReplyHooks hooks = {nullptr, outputs, has_tensor ? tensor_reply : nullptr, text_reply, json_reply};
    plugin::reply_by_accept(p.server(), headers.data(), headers.size(), hooks);
    return read_reply(p.client());
}

TEST(PluginReplyForm, ByTheLastAccept)
{
    const char* tensor = "application/vnd.kestrune.tensor";
    EXPECT_EQ(reply({header("Accept", tensor)}, 1).body, "tensor");
    Reply none = reply({header("Accept", tensor)}, 0);
    EXPECT_EQ(none.status, 204);
    EXPECT_EQ(none.body, "");
    EXPECT_TRUE(none.has("Content-Type: application/vnd.kestrune.tensor")) << none.head;
    Reply two = reply({header("Accept", tensor)}, 2);
    EXPECT_EQ(two.status, 400);
    EXPECT_EQ(two.body, "Only a single tensor can be returned using application/vnd.kestrune.tensor");
    // An engine without a tensor reply answers in JSON.
    EXPECT_EQ(reply({header("Accept", tensor)}, 2, false).body, "json");
    EXPECT_EQ(reply({header("Accept", "text/plain")}, 3).body, "text");
    EXPECT_EQ(reply({}, 1).body, "json");
    EXPECT_EQ(reply({header("Accept", "Text/Plain")}, 0).body, "json");
    EXPECT_EQ(reply({header("Accept", "text/plain; q=1")}, 0).body, "json");
    EXPECT_EQ(reply({header("accept", "text/plain")}, 0).body, "json");
    EXPECT_EQ(reply({header("Accept", "text/plain"), header("Accept", "application/json")}, 0).body, "json");
    EXPECT_EQ(reply({header("Accept", "application/json"), header("Accept", "text/plain")}, 0).body, "text");
}

}  // namespace
