// Calls the plug-in's HTTP handler over a socket pair and reads its reply;
// shared by the core and the binding suites.
#ifndef BRINDLECAST_TF_HTTP_CALL_H
#define BRINDLECAST_TF_HTTP_CALL_H

#include <string>
#include <utility>
#include <vector>

#include "plugin.h"
#include "reply_reader.h"
#include "test_socket.h"

namespace tfhttp {

struct Reply : reply_reader::Reply {
    int result = 0;  // the handler's
    std::string header(const std::string& name) const
    {
        const std::string key = "\r\n" + name + ": ";
        size_t at = head.find(key);
        if (at == std::string::npos)
            return "<absent>";
        size_t end = head.find("\r\n", at + key.size());
        return head.substr(at + key.size(), end == std::string::npos ? std::string::npos : end - at - key.size());
    }
};

using Headers = std::vector<std::pair<std::string, std::string>>;

inline Reply call(nn_server* s, std::string method, std::string target, const Headers& headers = {}, std::string body = "")
{
    testsock::Pair pair;
    std::vector<http_header> hs;
    for (const auto& h : headers)
        hs.push_back(http_header{h.first.data(), h.first.size(), h.second.data(), h.second.size()});
    Reply r;
    r.result = nn_server_http_handler(pair.server(), method.data(), target.data(), hs.data(), hs.size(),
                                      body.empty() ? nullptr : body.data(), body.size(), s);
    static_cast<reply_reader::Reply&>(r) = reply_reader::read_reply(pair.client());
    return r;
}

inline Reply post(nn_server* s, const std::string& target, const Headers& headers = {}, const std::string& body = "")
{
    return call(s, "POST", target, headers, body);
}

inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace tfhttp

#endif
