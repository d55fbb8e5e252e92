// The HTTP pieces every engine plug-in shares: replies, the inference query,
// multipart shapes and the block-wise model upload, each driven through
// small hook records the way a plug-in fills them.
#include "plugin_http.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "multipart_body.h"
#include "reply_reader.h"

namespace {

using multipart_body::multipart;
using multipart_body::Part;

using reply_reader::has_header;
using reply_reader::read_reply;
using reply_reader::Reply;

// ---- replies ----------------------------------------------------------------

TEST(PluginReplies, TensorCarriesTypeShapeAndTiming)
{
    testsock::Pair p;
    const int32_t dims[] = {1, 2, 3};
    char shape[32];
    plugin_shape_text(shape, sizeof shape, dims, 3, false);
    EXPECT_STREQ(shape, "1 2 3 ");
    plugin_reply_tensor(p.server(), "abcd", 4, "UINT8", shape, 1234);
    Reply r = read_reply(p.client());
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "abcd");
    EXPECT_TRUE(has_header(r, "X-Tensor-Type: UINT8")) << r.head;
    EXPECT_TRUE(has_header(r, "X-Tensor-Shape: 1 2 3 ")) << r.head;
    EXPECT_TRUE(has_header(r, "X-Model-Timing: 1234")) << r.head;
    EXPECT_TRUE(has_header(r, "Content-Type: application/vnd.kestrune.tensor")) << r.head;
}

TEST(PluginReplies, ShapeTextOrderAndCut)
{
    const int32_t dims[] = {1, 224, 224, 3};
    char text[32];
    plugin_shape_text(text, sizeof text, dims, 4, true);
    EXPECT_STREQ(text, "3 224 224 1 ");
    // Room for "1 224 " and part of the next extent: cut after the last whole one.
    char small[9];
    plugin_shape_text(small, sizeof small, dims, 4, false);
    EXPECT_STREQ(small, "1 224 ");
    plugin_shape_text(text, sizeof text, dims, 0, false);
    EXPECT_STREQ(text, "");
}

TEST(PluginReplies, LabelOrIndex)
{
    char buffer[64];
    json_buffer json{buffer, sizeof buffer};
    struct {
        const char* label;
        int index;
        const char* body;
    } cases[] = {{"tabby cat", 281, "tabby cat"}, {nullptr, 7, "7"}};
    for (auto& c : cases) {
        testsock::Pair p;
        plugin_reply_label(p.server(), &json, c.label, c.index, 0.5f, 99);
        Reply r = read_reply(p.client());
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, c.body);
        EXPECT_TRUE(has_header(r, "X-Softmax: 0.500000")) << r.head;
        EXPECT_TRUE(has_header(r, "X-Model-Timing: 99")) << r.head;
    }
}

TEST(PluginReplies, FormattedTextFitsOrOutOfMemory)
{
    char buffer[17];  // "ArgMax Error: 4\n" and its zero
    json_buffer json{buffer, sizeof buffer};
    {
        testsock::Pair p;
        plugin_reply_format(p.server(), &json, 500, "ArgMax Error: %d\n", 4);
        Reply r = read_reply(p.client());
        EXPECT_EQ(r.status, 500);
        EXPECT_EQ(r.body, "ArgMax Error: 4\n");
    }
    {
        testsock::Pair p;
        plugin_reply_format(p.server(), &json, 500, "ArgMax Error: %d\n", 42);
        Reply r = read_reply(p.client());
        EXPECT_EQ(r.status, 500);
        EXPECT_EQ(r.body, "Out of Memory");
    }
}

TEST(PluginReplies, DocumentDropsTrailingCommaOrReportsTooLarge)
{
    char buffer[64];
    json_buffer json{buffer, sizeof buffer};
    char* pos = json_obj_open(&json.text, &json.capacity, json.text, nullptr);
    pos = json_int(&json.text, &json.capacity, pos, "a", 1);
    pos = json_obj_close(&json.text, &json.capacity, pos);
    {
        testsock::Pair p;
        plugin_reply_document(p.server(), &json, 200, pos);
        Reply r = read_reply(p.client());
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, "{\"a\":1}");
    }
    {
        testsock::Pair p;
        plugin_reply_document(p.server(), &json, 200, nullptr);
        Reply r = read_reply(p.client());
        EXPECT_EQ(r.status, 500);
        EXPECT_EQ(r.body, "JSON Response Too Large");
    }
}

TEST(PluginReplies, LastHeaderOfANameWins)
{
    std::vector<http_header> h(3);
    h[0] = {"Accept", 6, "text/plain", 10};
    h[1] = {"Content-Type", 12, "image/png", 9};
    h[2] = {"Accept", 6, "application/json", 16};
    const http_header* a = plugin_header(h.data(), h.size(), "Accept");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(std::string(a->value, a->value_len), "application/json");
    EXPECT_EQ(plugin_header(h.data(), h.size(), "accept"), nullptr);
    EXPECT_EQ(plugin_header(h.data(), h.size(), "X-Other"), nullptr);
}

// ---- numbers and shapes ---------------------------------------------------------

TEST(PluginNumbers, CountsAndShapes)
{
    struct {
        const char* text;
        bool ok;
        int value;
    } counts[] = {{"0", true, 0},         {"2147483647", true, INT_MAX}, {"2147483648", false, 0},
                  {"", false, 0},         {"-1", false, 0},              {"12a", false, 0},
                  {"007", true, 7}};
    for (auto& c : counts) {
        int v = -99;
        EXPECT_EQ(plugin_parse_count(c.text, strlen(c.text), &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
    struct {
        const char* text;
        int result;
        int32_t shape[4];
    } shapes[] = {
        {"", 1, {1, 1, 1, 1}},          {"1,224,224,3", 1, {1, 224, 224, 3}},
        {"5,6", 1, {5, 6, 1, 1}},       {"1,2,3,4,5", -1, {}},
        {"1,,3", 0, {}},                {"1,x", 0, {}},
        {"1,2,", 0, {}},
    };
    for (auto& c : shapes) {
        int32_t s[4];
        EXPECT_EQ(plugin_parse_shape(c.text, s), c.result) << c.text;
        if (c.result != 1)
            continue;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(s[i], c.shape[i]) << c.text << " extent " << i;
    }
}

// ---- the inference query ----------------------------------------------------------

struct Model {
    std::map<std::string, uint32_t> outputs{{"conv", 2}, {"a:b/c d;e", 4}};
    int layers = 5;
};

bool find_output(void* user, const char* name, uint32_t* index)
{
    auto* m = static_cast<Model*>(user);
    auto it = m->outputs.find(name);
    if (it == m->outputs.end())
        return false;
    *index = it->second;
    return true;
}

int check_step(void* user, int* start, int* end, const char** text)
{
    auto* m = static_cast<Model*>(user);
    if (*start >= m->layers) {
        *text = "Starting Step Out of Range";
        return 400;
    }
    if (*end > m->layers)
        *end = m->layers;
    return 0;
}

struct QueryCase {
    const char* target;
    int status;            // 0: accepted
    const char* body;      // the error reply's text
    std::vector<uint32_t> outputs;
    int run, step_start, step_end;
    uint32_t imgproc;
    const char* id;
};

TEST(PluginQuery, Table)
{
    const QueryCase cases[] = {
        {"/v1/model", 0, "", {}, 0, -1, -1, 0, nullptr},
        {"/v1/model?output=conv&run=3", 0, "", {2}, 3, -1, -1, 0, nullptr},
        {"/v1/model?output=a%3Ab%2Fc%20d%3Be&output=conv", 0, "", {4, 2}, 0, -1, -1, 0, nullptr},
        {"/v1/model?RUN=-2&Id=frame7&imgproc=WHITENING", 0, "", {}, -2, -1, -1, 2, "frame7"},
        {"/v1/model?run=+4&imgproc=signed_normalize", 0, "", {}, 4, -1, -1, 4, nullptr},
        {"/v1/model?step=1", 0, "", {}, 0, 1, 2, 0, nullptr},
        {"/v1/model?step=1-99", 0, "", {}, 0, 1, 5, 0, nullptr},
        {"/v1/model?id", 0, "", {}, 0, -1, -1, 0, ""},
        {"/v1/model?other=1&output=conv", 0, "", {2}, 0, -1, -1, 0, nullptr},
        {"/v1/model?step=5", 400, "Starting Step Out of Range", {}, 0, -1, -1, 0, nullptr},
        {"/v1/model?step=1-x", 400, "Badly Formatted URL Query", {}, 0, -1, -1, 0, nullptr},
        {"/v1/model?run=", 400, "Badly Formatted URL Query", {}, 0, -1, -1, 0, nullptr},
        {"/v1/model?run=1.5", 400, "Badly Formatted URL Query", {}, 0, -1, -1, 0, nullptr},
        {"/v1/model?&run=1", 400, "Badly Formatted URL Query", {}, 0, -1, -1, 0, nullptr},
        {"/v1/model?output", 400, "Badly Formatted URL Query", {}, 0, -1, -1, 0, nullptr},
        {"/v1/model?output=nope", 404, "Output Tensor Not Found", {}, 0, -1, -1, 0, nullptr},
        {"/v1/model?output=conv&output=conv&output=conv", 400, "Too Many Outputs Requested", {}, 0, -1, -1, 0,
         nullptr},
        // Runs are bounded by what one request may cost; a negative count
        // runs nothing and stays accepted.
        {"/v1/model?run=100", 0, "", {}, 100, -1, -1, 0, nullptr},
        {"/v1/model?run=-2147483647", 0, "", {}, -2147483647, -1, -1, 0, nullptr},
        {"/v1/model?run=101", 400, "Too Many Runs Requested (at most 100)", {}, 0, -1, -1, 0, nullptr},
        {"/v1/model?run=2147483647", 400, "Too Many Runs Requested (at most 100)", {}, 0, -1, -1, 0, nullptr},
        {"/v1/model?run=1&RUN=+500", 400, "Too Many Runs Requested (at most 100)", {}, 0, -1, -1, 0, nullptr},
        {"/v1/model?imgproc=sharpen", 404, "Unsupported Image Processing Request", {}, 0, -1, -1, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        Model m;
        const plugin_query_hooks hooks{&m, 2, find_output, check_step};
        plugin_query q{};
        q.step_start = q.step_end = -1;
        std::string target = c.target;
        testsock::Pair p;
        int result = -7;
        bool ok = plugin_parse_query(p.server(), &target[0], &hooks, &q, &result);
        if (c.status == 0) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(result, -7);  // nothing sent
            EXPECT_EQ(std::string(target.c_str()), "/v1/model");
            ASSERT_EQ(q.output_count, (int)c.outputs.size());
            for (size_t i = 0; i < c.outputs.size(); ++i)
                EXPECT_EQ(q.outputs[i], c.outputs[i]);
            EXPECT_EQ(q.run, c.run);
            EXPECT_EQ(q.step_start, c.step_start);
            EXPECT_EQ(q.step_end, c.step_end);
            EXPECT_EQ(q.imgproc, c.imgproc);
            if (c.id)
                EXPECT_STREQ(q.id, c.id);
            else
                EXPECT_EQ(q.id, nullptr);
        } else {
            EXPECT_FALSE(ok);
            Reply r = read_reply(p.client());
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.body, c.body);
        }
    }
}

TEST(PluginQuery, LongOutputNameIsRefused)
{
    Model m;
    const plugin_query_hooks hooks{&m, 16, find_output, check_step};
    plugin_query q{};
    std::string target = "/v1/model?output=" + std::string(200, 'n');
    testsock::Pair p;
    int result = 0;
    EXPECT_FALSE(plugin_parse_query(p.server(), &target[0], &hooks, &q, &result));
    Reply r = read_reply(p.client());
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, "Badly Formatted URL Query");
}

// ---- block-wise upload ---------------------------------------------------------------

struct Store {
    std::vector<uint8_t> bytes;
    uint64_t size = 0;
    uint64_t reserve_limit = UINT64_MAX;  // reserve fails above this
    int releases = 0;
    std::vector<std::string> loads;       // the model bytes at each load
    bool load_replies = false;            // load answers itself (a failed load)
};

void release(void* user)
{
    static_cast<Store*>(user)->releases++;
}

uint8_t* reserve(void* user, uint64_t needed)
{
    auto* s = static_cast<Store*>(user);
    if (needed > s->reserve_limit)
        return nullptr;
    if (s->bytes.size() < needed)
        s->bytes.resize(needed);
    return s->bytes.data();
}

uint64_t size_of(void* user)
{
    return static_cast<Store*>(user)->size;
}

void set_size(void* user, uint64_t size)
{
    static_cast<Store*>(user)->size = size;
}

int load(int socket, void* user, bool* replied)
{
    auto* s = static_cast<Store*>(user);
    s->loads.emplace_back(s->bytes.begin(), s->bytes.begin() + (long)s->size);
    *replied = s->load_replies;
    if (s->load_replies)
        return plugin_reply_json_text(socket, 200, "{\"error\": \"model load error\"}");
    return 0;
}

struct Upload {
    Store store;
    plugin_upload state{};
    plugin_upload_hooks hooks{&store, 8, 64, 32, release, reserve, size_of, set_size, load};

    Reply put(const std::string& body_text, int* result = nullptr)
    {
        testsock::Pair p;
        std::string body = body_text;
        int r = plugin_upload_put(p.server(), body.empty() ? nullptr : &body[0], body.size(), &state, &hooks);
        if (result)
            *result = r;
        return read_reply(p.client());
    }
};

TEST(PluginUpload, WholeModelInOnePart)
{
    Upload u;
    Reply r = u.put(multipart({{"model_name", "m"}, {"block_content", "KFM-bytes", "m.kfm", "application/octet-stream"}}));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"reply\": \"success\"}");
    ASSERT_EQ(u.store.loads.size(), 1u);
    EXPECT_EQ(u.store.loads[0], "KFM-bytes");
}

TEST(PluginUpload, AnnouncedBlocksAreAssembledInOrder)
{
    Upload u;
    Reply r = u.put(multipart({{"block_count", "3"}}));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"reply\": \"success\"}");
    r = u.put(multipart({{"block_content", "AAAAAAAA"}}));
    EXPECT_EQ(r.body, "{\"block\": 1, \"block_count\": 3}");
    r = u.put(multipart({{"block_id", "2"}, {"block_content", "BBBBBBBB"}}));
    EXPECT_EQ(r.body, "{\"block\": 2, \"block_count\": 3}");
    EXPECT_TRUE(u.store.loads.empty());
    r = u.put(multipart({{"block_content", "CC"}}));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"reply\": \"success\"}");
    ASSERT_EQ(u.store.loads.size(), 1u);
    EXPECT_EQ(u.store.loads[0], "AAAAAAAABBBBBBBBCC");
    EXPECT_GE(u.store.releases, 4);  // before every write into the model bytes
}

TEST(PluginUpload, FailedLoadAnswersItself)
{
    Upload u;
    u.store.load_replies = true;
    Reply r = u.put(multipart({{"block_content", "bad"}}));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"error\": \"model load error\"}");
}

TEST(PluginUpload, Refusals)
{
    struct {
        const char* what;
        std::string body;
        uint64_t reserve_limit;
        int status;
        const char* reply;
    } cases[] = {
        {"no parts", "not multipart at all", UINT64_MAX, 415, "Unsupported multi-part data"},
        {"unknown part", multipart({{"weights", "x"}}), UINT64_MAX, 415, "Unsupported multi-part data"},
        {"zero blocks", multipart({{"block_count", "0"}}), UINT64_MAX, 400, "Invalid block_count value"},
        {"not a number", multipart({{"block_count", "many"}}), UINT64_MAX, 400, "Invalid block_count value"},
        {"negative", multipart({{"block_count", "-2"}}), UINT64_MAX, 400, "Requested model is larger than allowed"},
        {"above the limit", multipart({{"block_count", "9"}}), UINT64_MAX, 400,
         "Requested model is larger than allowed"},
        {"huge", multipart({{"block_count", "99999999999"}}), UINT64_MAX, 400,
         "Requested model is larger than allowed"},
        {"no room for the blocks", multipart({{"block_count", "8"}}), 63, 507, "{\"error\": \"model too large\"}"},
        {"no room for the content", multipart({{"block_content", "12345"}}), 4, 507,
         "{\"error\": \"model too large\"}"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        Upload u;
        u.store.reserve_limit = c.reserve_limit;
        Reply r = u.put(c.body);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.body, c.reply);
        EXPECT_TRUE(u.store.loads.empty());
    }
}

TEST(PluginUpload, ContentPastTheModelLimitIsRefused)
{
    Upload u;
    u.put(multipart({{"block_count", "8"}}));
    for (int i = 0; i < 7; ++i)
        u.put(multipart({{"block_content", "01234567"}}));
    // 56 bytes held; 9 more would pass the 64-byte limit.
    Reply r = u.put(multipart({{"block_content", "012345678"}}));
    EXPECT_EQ(r.status, 507);
    EXPECT_EQ(r.body, "{\"error\": \"model too large\"}");
    EXPECT_TRUE(u.store.loads.empty());
}

TEST(PluginUpload, EmptyBodyAndOversizedPart)
{
    Upload u;
    Reply r = u.put("");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"reply\": \"success\"}");

    int result = 0;
    errno = 0;
    r = u.put(multipart({{"block_content", std::string(33, 'x')}}), &result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(r.status, 0);  // no reply
    EXPECT_TRUE(u.store.loads.empty());
}

}  // namespace
