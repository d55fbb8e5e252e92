// A reply written by the code under test, read back from the client side of
// a socket pair.
#pragma once

#include <string>

#include "test_socket.h"

namespace reply_reader {

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

inline bool has_header(const Reply& r, const std::string& line)
{
    return r.has(line);
}

}  // namespace reply_reader
