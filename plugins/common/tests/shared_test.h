// Helpers of the suites over the framework's shared pieces: a server record
// laid out as every plug-in lays out its own (the shared member first), and
// a reply read back from the client side of a socket pair.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "plugin.h"
#include "test_socket.h"

struct nn_server {
    nn_server_common common;
};

namespace shared_test {

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

struct Reply {
    int status = 0;
    std::string head, body;
    bool has(const std::string& line) const
    {
        return (head + "\r\n").find("\r\n" + line + "\r\n") != std::string::npos;
    }
};

inline Reply read_reply(int fd)
{
    Reply r;
    std::string raw = testsock::read_available(fd, 20);  // the reply is written already
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos)
        return r;
    r.head = raw.substr(0, end);
    r.body = raw.substr(end + 4);
    if (r.head.size() > 12)
        r.status = std::stoi(r.head.substr(9, 3));
    return r;
}

}  // namespace shared_test
