// Helpers of the suites over the framework's shared pieces: a server record
// laid out as every plug-in lays out its own (the shared member first), and
// a reply read back from the client side of a socket pair.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "plugin.h"
#include "reply_reader.h"

struct nn_server {
    nn_server_common common;
};

namespace shared_test {

using reply_reader::read_reply;
using reply_reader::Reply;

struct Server {
    nn_server s{};
    // A small reply buffer, as a handler holds one (the writers grow it).
    Server()
    {
        EXPECT_EQ(nn_server_common_init(&s.common), 0);
        s.common.json.text = static_cast<char*>(malloc(16));
        if (s.common.json.text) {
            s.common.json.text[0] = '\0';
            s.common.json.capacity = 16;
        }
    }
    ~Server() { nn_server_common_release(&s.common); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    nn_server* get() { return &s; }
};

}  // namespace shared_test
