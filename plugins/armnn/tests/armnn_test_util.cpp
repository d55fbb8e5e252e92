#include "armnn_test_util.h"

namespace armnn_test {

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
