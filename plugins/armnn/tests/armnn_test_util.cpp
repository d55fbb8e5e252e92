#include "armnn_test_util.h"

namespace armnn_test {

Reply parse_reply(const std::string& raw)
{
    Reply r;
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos)
        return r;
    std::string head = raw.substr(0, end);
    size_t line_end = head.find("\r\n");
    std::string status_line = head.substr(0, line_end);
    if (status_line.size() > 12)
        r.status = std::atoi(status_line.c_str() + 9);
    size_t pos = line_end == std::string::npos ? head.size() : line_end + 2;
    while (pos < head.size()) {
        size_t next = head.find("\r\n", pos);
        if (next == std::string::npos)
            next = head.size();
        std::string line = head.substr(pos, next - pos);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string value = line.substr(colon + 1);
            if (!value.empty() && value[0] == ' ')
                value.erase(0, 1);
            r.headers.emplace_back(line.substr(0, colon), value);
        }
        pos = next + 2;
    }
    r.body = raw.substr(end + 4);
    EXPECT_EQ(r.body.size(), std::strtoull(r.header("Content-Length").c_str(), nullptr, 10));
    return r;
}

Reply call(nn_server* server, const Request& req)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        ADD_FAILURE() << "socketpair";
        return {};
    }
    std::string raw;
    std::thread reader([&] {
        char buf[65536];
        for (;;) {
            pollfd p{fds[1], POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0)
                break;  // nothing may hang
            ssize_t n = recv(fds[1], buf, sizeof buf, 0);
            if (n <= 0)
                break;
            raw.append(buf, static_cast<size_t>(n));
        }
    });
    std::string method = req.method, target = req.target, body = req.body;
    std::vector<std::string> store;
    store.reserve(req.headers.size() * 2);
    std::vector<http_header> headers;
    for (auto& h : req.headers) {
        store.push_back(h.first);
        const std::string& name = store.back();
        store.push_back(h.second);
        const std::string& value = store.back();
        headers.push_back(http_header{name.data(), name.size(), value.data(), value.size()});
    }
    int result = plugin().nn_server_http_handler(fds[0], method.data(), target.data(), headers.data(), headers.size(),
                                                 body.empty() ? nullptr : body.data(), body.size(), server);
    shutdown(fds[0], SHUT_WR);
    reader.join();
    close(fds[0]);
    close(fds[1]);
    Reply r = parse_reply(raw);
    r.result = result;
    return r;
}

std::string base64_decode(const std::string& text)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (char c : text) {
        size_t d = alphabet.find(c);
        if (d == std::string::npos)
            break;  // '=' or the closing quote
        value = (value << 6) | static_cast<unsigned>(d);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((value >> bits) & 0xFF));
        }
    }
    return out;
}

std::string output_data(const std::string& json, int n)
{
    size_t pos = 0;
    for (int i = 0; i <= n; ++i) {
        pos = json.find("\"data\":\"", pos);
        if (pos == std::string::npos)
            return "";
        pos += 8;
    }
    return base64_decode(json.substr(pos, json.find('"', pos) - pos));
}

}  // namespace armnn_test
