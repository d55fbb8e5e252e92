#include "armnn_test_util.h"

namespace armnn_test {

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
