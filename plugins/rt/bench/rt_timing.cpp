// Timing program of the runtime plug-in (not run by CI). Prints ratios
// against references measured in the same run:
//  1. a POST of a 1 MiB raw input answered with its 1 MiB tensor, over a
//     loopback TCP connection (model time taken off), against a plain
//     loopback echo of the same bytes (1 MiB each way); goal: at most 3x;
//  2. the benchmark's average run time against a direct nn_context_run loop
//     of the same model and iteration count (a run of over 1 ms); goal:
//     within 10%.
//
//     rt_timing [repetitions]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kfm_writer.h"
#include "platform.h"
#include "rt_server.h"

namespace {

const size_t kBytes = 1u << 20;

kfm::Layer f32(const std::string& name, int16_t type, std::vector<int32_t> shape, std::vector<uint32_t> inputs = {})
{
    kfm::Layer l = kfm::layer(name, type, std::move(shape), std::move(inputs));
    l.datatype = NN_TYPE_F32;
    return l;
}

// input [1, n] -> "output", a view of it; with fills > 0, that many fill
// layers write every element in turn, the last one named "output".
kfm::Model model(int32_t n, int fills)
{
    kfm::Model m;
    m.name = "timing";
    std::vector<kfm::Layer> layers{f32("input", NN_LAYER_INPUT, {1, n})};
    if (fills == 0)
        layers.push_back(f32("output", NN_LAYER_RESHAPE, {1, n}, {0}));
    for (int i = 1; i <= fills; ++i) {
        kfm::Layer l = f32(i == fills ? "output" : "fill" + std::to_string(i), NN_LAYER_FILL, {1, n},
                           {(uint32_t)(i - 1)});
        kfm::Parameter v = kfm::parameter("value");
        v.data_f32 = std::vector<float>{(float)i};
        l.parameters = std::vector<kfm::Parameter>{v};
        layers.push_back(l);
    }
    m.layers = layers;
    m.inputs = std::vector<uint32_t>{0};
    m.outputs = std::vector<uint32_t>{(uint32_t)(layers.size() - 1)};
    return m;
}

void loopback_pair(int* client, int* server)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, (sockaddr*)&addr, sizeof addr) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (sockaddr*)&addr, &len) != 0) {
        std::perror("loopback");
        std::exit(1);
    }
    *client = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(*client, (sockaddr*)&addr, sizeof addr) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    *server = accept(listener, nullptr, nullptr);
    close(listener);
    int one = 1;
    setsockopt(*client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(*server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{10, 0};
    setsockopt(*client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(*server, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

bool send_all(int fd, const char* p, size_t n)
{
    while (n) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0)
            return false;
        p += k;
        n -= (size_t)k;
    }
    return true;
}

bool recv_all(int fd, char* p, size_t n)
{
    while (n) {
        ssize_t k = recv(fd, p, n, 0);
        if (k <= 0)
            return false;
        p += k;
        n -= (size_t)k;
    }
    return true;
}

// Reads one reply: head, then Content-Length bytes; returns X-Model-Timing.
int64_t read_reply(int fd, std::string& buf)
{
    buf.clear();
    char chunk[65536];
    size_t head_end = std::string::npos;
    size_t want = 0;
    for (;;) {
        ssize_t k = recv(fd, chunk, sizeof chunk, 0);
        if (k <= 0) {
            std::fprintf(stderr, "reply cut short\n");
            std::exit(1);
        }
        buf.append(chunk, (size_t)k);
        if (head_end == std::string::npos && (head_end = buf.find("\r\n\r\n")) != std::string::npos) {
            size_t at = buf.find("Content-Length: ");
            want = head_end + 4 + std::strtoull(buf.c_str() + at + 16, nullptr, 10);
        }
        if (head_end != std::string::npos && buf.size() >= want)
            break;
    }
    size_t at = buf.find("X-Model-Timing: ");
    return at == std::string::npos ? 0 : std::strtoll(buf.c_str() + at + 16, nullptr, 10);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void http_ratio(int reps)
{
    kfm::Buffer bytes = kfm::write(model((int32_t)(kBytes / 4), 0));
    nn_server* server = nn_server_init(0, 0, nullptr, 0, nullptr, 1u << 24, nullptr);
    if (!server || nn_context_model_load(nn_server_context(server), bytes.size(), bytes.data()) != 0) {
        std::fprintf(stderr, "model setup failed\n");
        std::exit(1);
    }
    // Load through the upload path so the server state is complete.
    server->model = bytes.data();
    server->model_size = bytes.size();
    rt_reset_layer_timing(server);
    server->common.loaded = 1;

    std::string head = "POST /v1/infer?run=1&output=output HTTP/1.1\r\nHost: x\r\n"
                       "Content-Type: application/vnd.kestrune.tensor\r\n"
                       "Accept: application/vnd.kestrune.tensor\r\nContent-Length: " +
                       std::to_string(kBytes) + "\r\n\r\n";
    std::string request = head + std::string(kBytes, '\x01');
    int client, served;
    loopback_pair(&client, &served);
    http_route routes[] = {{"/", 1, server, nn_server_http_handler}, {nullptr, 0, nullptr, nullptr}};
    std::vector<char> buffer(4u << 20);
    std::vector<double> post_ns, echo_ns;
    std::string reply;
    for (int r = 0; r < reps; ++r) {
        size_t held = 0;
        int64_t t0 = clock_now_ns();
        std::thread handler([&] { http_read_request(served, buffer.data(), buffer.size(), &held, routes); });
        send_all(client, request.data(), request.size());
        int64_t model_ns = read_reply(client, reply);
        handler.join();
        post_ns.push_back((double)(clock_now_ns() - t0 - model_ns));
    }
    // Reference: the same bytes each way with no HTTP and no model.
    std::vector<char> echo(kBytes);
    for (int r = 0; r < reps; ++r) {
        int64_t t0 = clock_now_ns();
        std::thread peer([&] {
            std::vector<char> in(kBytes);
            recv_all(served, in.data(), in.size());
            send_all(served, in.data(), in.size());
        });
        send_all(client, request.data() + head.size(), kBytes);
        recv_all(client, echo.data(), echo.size());
        peer.join();
        echo_ns.push_back((double)(clock_now_ns() - t0));
    }
    close(client);
    close(served);
    server->model = nullptr;
    nn_server_release(server);
    double ratio = median(post_ns) / median(echo_ns);
    std::printf("POST 1 MiB in, 1 MiB tensor out: %.3f ms; loopback echo of 2 MiB: %.3f ms; ratio %.2fx "
                "(goal at most 3x)\n",
                median(post_ns) / 1e6, median(echo_ns) / 1e6, ratio);
}

void benchmark_ratio(int reps)
{
    const int iterations = 20;
    kfm::Buffer bytes = kfm::write(model(1 << 22, 8));  // eight 16 MiB fills per run
    char path[] = "/tmp/rt-timing-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size()) {
        std::perror("model file");
        std::exit(1);
    }
    close(fd);
    nn_server* server = nn_server_init(0, 0, nullptr, 0, nullptr, 1u << 26, nullptr);
    if (!server || nn_server_model_load(server, path, 1) != 0) {
        std::fprintf(stderr, "model load failed\n");
        std::exit(1);
    }
    std::vector<double> bench_ms, direct_ms;
    for (int r = 0; r < reps; ++r) {
        // The benchmark's own figure, read from its output.
        char out_path[] = "/tmp/rt-timing-out-XXXXXX";
        int out = mkstemp(out_path);
        std::fflush(stdout);
        int saved = dup(1);
        dup2(out, 1);
        nn_server_model_benchmark(server, iterations, 0, -1, 0, 0, 0, "output", nullptr);
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        lseek(out, 0, SEEK_SET);
        char text[256] = {0};
        ssize_t n = read(out, text, sizeof text - 1);
        close(out);
        unlink(out_path);
        double ms = 0;
        if (n <= 0 || std::sscanf(text, "Average model run time: %lf", &ms) != 1) {
            std::fprintf(stderr, "no average in: %s\n", text);
            std::exit(1);
        }
        bench_ms.push_back(ms);
        // The direct loop on the same context.
        nn_context* ctx = nn_server_context(server);
        int64_t t0 = clock_now_ns();
        for (int i = 0; i < iterations; ++i)
            nn_context_run(ctx);
        direct_ms.push_back((double)(clock_now_ns() - t0) / 1e6 / iterations);
    }
    nn_server_release(server);
    unlink(path);
    double b = median(bench_ms), d = median(direct_ms);
    std::printf("benchmark average %.4f ms; direct nn_context_run loop %.4f ms; ratio %.3f (goal within 10%%)\n", b,
                d, b / d);
}

}  // namespace

int main(int argc, char** argv)
{
    int reps = argc > 1 ? std::atoi(argv[1]) : 9;
    if (reps < 1)
        reps = 1;
    http_ratio(reps);
    benchmark_ratio(reps);
    return 0;
}
