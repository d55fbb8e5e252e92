// Throughput of base64, the multipart delimiter search and the growing number
// writer, each as a ratio to a reference measured in the same run:
//   json_base64 of 8 MiB            vs memcpy of the same bytes   (>= 1/20)
//   multipart_next_part on 4 MiB of runs of 69 '-' and 'x', 70-character
//   boundary                        vs glibc memmem over them       (>= 0.25)
//   10^6 growing json_int members   vs stbsp_snprintf into a preallocated
//                                      buffer                       (>= 0.25)
// Exit status 1 when a ratio is below its bound.
#include "json.h"
#include "multipart.h"

#include <stb/stb_sprintf.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

volatile uint64_t sink;

double best_seconds(int runs, const std::function<void()>& body)
{
    double best = 1e30;
    for (int r = 0; r < runs; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        body();
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    return best;
}

bool report(const char* what, double seconds, const char* reference, double reference_seconds, double bound)
{
    double ratio = reference_seconds / seconds;
    bool ok = ratio >= bound;
    std::printf("%-34s %9.3f ms   %-26s %9.3f ms   ratio %6.3f (bound %.3f) %s\n", what, seconds * 1e3, reference,
                reference_seconds * 1e3, ratio, bound, ok ? "ok" : "BELOW");
    return ok;
}

}  // namespace

int main()
{
    bool ok = true;

    {
        const size_t n = 8u << 20;
        std::vector<unsigned char> bytes(n);
        uint32_t x = 1;
        for (auto& b : bytes)
            b = static_cast<unsigned char>((x = x * 1664525u + 1013904223u) >> 24);
        std::vector<unsigned char> copy(n);
        char* text = nullptr;
        uint64_t capacity = 0;
        json_base64(&text, &capacity, nullptr, "data", bytes.data(), n);  // grows once
        double b64 = best_seconds(5, [&] {
            char* end = json_base64(&text, &capacity, text, "data", bytes.data(), n);
            sink = static_cast<uint64_t>(end - text);
        });
        double mem = best_seconds(5, [&] {
            std::memcpy(copy.data(), bytes.data(), n);
            sink = copy[n / 2];
        });
        ok &= report("json_base64, 8 MiB", b64, "memcpy, 8 MiB", mem, 1.0 / 20);
        std::free(text);
    }

    {
        const std::string boundary(70, '-');
        std::string body = boundary + "\r\nContent-Disposition: form-data; name=\"block_content\"\r\n\r\n";
        const size_t data_start = body.size();
        while (body.size() - data_start < (4u << 20))
            body += std::string(69, '-') + "x";
        body += "\r\n" + boundary + "--\r\n";
        char name[MULTIPART_NAME_SIZE];
        char filename[64], type[64];
        double parse = best_seconds(5, [&] {
            const char* data;
            uint64_t length = 0;
            sink = multipart_next_part(body.data(), body.size(), name, filename, sizeof filename, type, sizeof type,
                                       &data, &length);
            if (length != body.size() - data_start - boundary.size() - 6)
                std::abort();
        });
        double search = best_seconds(5, [&] {
            sink = reinterpret_cast<uintptr_t>(memmem(body.data() + data_start, body.size() - data_start,
                                                      boundary.data(), boundary.size()));
        });
        ok &= report("multipart_next_part, 4 MiB", parse, "memmem, same bytes", search, 0.25);
    }

    {
        const int count = 1000000;
        double grow = best_seconds(3, [&] {
            char* text = nullptr;
            uint64_t capacity = 0;
            char* pos = nullptr;
            for (int i = 0; i < count; ++i)
                pos = json_int(&text, &capacity, pos, nullptr, i * 2147);
            sink = static_cast<uint64_t>(pos - text);
            std::free(text);
        });
        std::vector<char> buffer(static_cast<size_t>(count) * 16);
        double fixed = best_seconds(3, [&] {
            char* p = buffer.data();
            for (int i = 0; i < count; ++i)
                p += stbsp_snprintf(p, 24, "%d,", i * 2147);
            sink = static_cast<uint64_t>(p - buffer.data());
        });
        ok &= report("json_int x 10^6, growing", grow, "stbsp_snprintf, preallocated", fixed, 0.25);
    }
    return ok ? 0 : 1;
}
