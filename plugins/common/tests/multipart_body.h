// Builds multipart/form-data bodies for the plug-in tests.
#ifndef BRINDLECAST_MULTIPART_BODY_H
#define BRINDLECAST_MULTIPART_BODY_H

#include <string>
#include <utility>
#include <vector>

namespace multipart_body {

struct Part {
    std::string name;
    std::string data;
    std::string filename;      // empty: no filename parameter
    std::string content_type;  // empty: no Content-Type line

    Part(std::string n, std::string d, std::string f = "", std::string t = "")
        : name(std::move(n)), data(std::move(d)), filename(std::move(f)), content_type(std::move(t))
    {
    }
};

// The parts between "--boundary" lines, closed by "--boundary--". A float32
// tensor part always carries a filename parameter (its shape), even empty.
inline std::string multipart(const std::vector<Part>& parts, const std::string& boundary = "XyZ")
{
    std::string body;
    for (auto& p : parts) {
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + p.name + "\"";
        if (!p.filename.empty() || p.content_type == "application/vnd.kestrune.tensor.float32")
            body += "; filename=\"" + p.filename + "\"";
        body += "\r\n";
        if (!p.content_type.empty())
            body += "Content-Type: " + p.content_type + "\r\n";
        body += "\r\n" + p.data + "\r\n";
    }
    body += "--" + boundary + "--\r\n";
    return body;
}

}  // namespace multipart_body

#endif
