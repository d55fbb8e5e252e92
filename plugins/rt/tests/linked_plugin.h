// Helpers of the suites that link a plug-in's objects (runtime and OpenVX):
// requests to the plug-in's own HTTP entry point, a server over
// nn_server_init with the defaults every engine accepts, KFM uploads.
#ifndef BRINDLECAST_LINKED_PLUGIN_H
#define BRINDLECAST_LINKED_PLUGIN_H

#include <gtest/gtest.h>

#include <string>

#include "kfm_writer.h"
#include "plugin.h"
#include "plugin_call.h"

namespace plugin_call {

inline Reply call(nn_server* server, const Request& req, void (*around)(bool) = nullptr)
{
    return call(nn_server_http_handler, server, req, around);
}

// A server over the CPU with no pool or cache given (the defaults every
// engine accepts).
struct Server {
    nn_server* s = nullptr;
    explicit Server(size_t max_model = 64u << 20)
    {
        s = nn_server_init(0, 0, nullptr, 0, nullptr, max_model, nullptr);
        EXPECT_NE(s, nullptr);
    }
    ~Server() { nn_server_release(s); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    operator nn_server*() const { return s; }
};

inline Request put_whole(const std::string& model_bytes)
{
    return put_whole(model_bytes, "model.kfm");
}

}  // namespace plugin_call

#endif
