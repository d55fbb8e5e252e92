// The request dispatch every plug-in shares: methods, the GET routes with
// and without a model, the KFM download's Accept match, and a reply buffer
// that cannot be had (allocations fail on demand: the program wraps malloc
// and its kin).
#include "plugin_handler.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "failing_alloc.h"
#include "plugin_http.h"
#include "shared_test.h"

namespace {

using shared_test::read_reply;
using shared_test::Reply;
using shared_test::Server;

http_header header(const char* name, const char* value)
{
    return http_header{name, strlen(name), value, strlen(value)};
}

int model_doc(int socket, void*)
{
    return plugin_reply_text(socket, 200, "model description");
}
int engine_doc(int socket, void*)
{
    return plugin_reply_text(socket, 200, "engine description");
}
int put(int socket, void* user, http_header*, size_t, char* body, size_t body_len)
{
    *static_cast<std::string*>(user) = std::string(body, body_len);
    return plugin_reply_text(socket, 200, "put");
}
int post(int socket, void* user, char* target, http_header*, size_t, char*, size_t)
{
    *static_cast<std::string*>(user) = target;
    return plugin_reply_text(socket, 200, "post");
}

struct Call {
    std::string method, target;
    std::vector<http_header> headers;
    bool loaded;
};

Reply call(Server& srv, Call c, std::string* seen = nullptr, int* result = nullptr)
{
    std::string ignored;
    const plugin::HandlerHooks hooks = {seen ? seen : &ignored, "KFMbytes", 8, model_doc, engine_doc, put, post};
    srv.s.common.loaded = c.loaded;
    testsock::Pair p;
    std::string body = "body";
    int r = plugin::handle_request(p.server(), c.method.c_str(), c.target.data(), c.headers.data(), c.headers.size(),
                                   body.data(), body.size(), srv.get(), hooks);
    if (result)
        *result = r;
    return read_reply(p.client());
}

TEST(PluginHandler, RoutesByMethodAndTarget)
{
    Server srv;
    const http_header kfm = header("Accept", "application/vnd.kestrune.kfm");
    struct {
        Call call;
        int status;
        std::string body;
    } cases[] = {
        {{"GET", "/", {}, false}, 200, "engine description"},
        {{"GET", "/v1/models", {}, true}, 200, "model description"},  // a longer target is the model's too
        {{"GET", "/v1/mode", {}, true}, 200, "engine description"},
        {{"GET", "/v1/model", {}, false}, 428, "{\"status\": \"no model loaded\"}"},
        {{"GET", "/v1/model?x=1", {kfm}, true}, 200, "KFMbytes"},
        {{"GET", "/v1/model", {header("accept", "APPLICATION/VND.KESTRUNE.KFM")}, true}, 200, "KFMbytes"},
        {{"GET", "/v1/model", {kfm}, false}, 428, "No Model Loaded"},
        {{"GET", "/v1/model", {header("Accept", "application/vnd.kestrune")}, true}, 200, "model description"},
        {{"GET", "/", {kfm}, true}, 200, "engine description"},
        {{"PUT", "/anything", {}, false}, 200, "put"},
        {{"POST", "/v1/model", {}, false}, 200, "post"},
        {{"OPTIONS", "/", {}, false}, 204, ""},
        {{"DELETE", "/v1/model", {}, true}, 404, "Not Found"},
        {{"get", "/", {}, true}, 404, "Not Found"},
    };
    for (auto& c : cases) {
        Reply r = call(srv, c.call);
        EXPECT_EQ(r.status, c.status) << c.call.method << " " << c.call.target;
        EXPECT_EQ(r.body, c.body) << c.call.method << " " << c.call.target;
    }
    EXPECT_GE(srv.s.common.json.capacity, PLUGIN_MIN_REPLY_BUFFER);
    std::string seen;
    call(srv, {"POST", "/v1/model?run=2", {}, true}, &seen);
    EXPECT_EQ(seen, "/v1/model?run=2");
    call(srv, {"PUT", "/", {}, true}, &seen);
    EXPECT_EQ(seen, "body");
    Reply download = call(srv, {"GET", "/v1/model", {header("Accept", "application/vnd.kestrune.kfm")}, true});
    EXPECT_TRUE(download.has("Content-Type: application/vnd.kestrune.kfm")) << download.head;
}

TEST(PluginHandler, NoReplyBufferNoReply)
{
    Server srv;
    free(srv.s.common.json.text);
    srv.s.common.json = json_buffer{nullptr, 0};
    int result = 0;
    errno = 0;
    failing_alloc::arm(0);
    Reply r = call(srv, {"GET", "/", {}, false}, nullptr, &result);
    failing_alloc::disarm();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(r.status, 0);  // nothing sent
    // The next request gets its buffer.
    r = call(srv, {"GET", "/", {}, false}, nullptr, &result);
    EXPECT_EQ(r.body, "engine description");
    EXPECT_EQ(srv.s.common.json.capacity, PLUGIN_MIN_REPLY_BUFFER);
    EXPECT_STREQ(srv.s.common.json.text, "");
}

}  // namespace
