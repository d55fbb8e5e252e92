// rpc_client: sends one request datagram to the runtime plug-in's UNIX
// socket and prints the reply.
//
//   rpc_client -s PATH [-c command] [-f flags] [-W fw] [-H fh] [-w cw] [-h ch]
//              [-x cx] [-y cy] [-4 FOURCC] [-a address]
//              [-p file | -t text | -F f0,f1,... | -r raw-size]
//
// -s names a pathname socket, or an abstract one with a leading '@'.  -r
// sends exactly that many bytes in total (header included, when at least
// 24), for short datagrams.  The client binds an autobind abstract address
// so that the server can answer, waits at most 2 s for one reply, prints
// "flags=0x%x dims=%u shape=%d,%d,%d,%d run_ns=%llu" and then each part
// (texts as text, the tensor as floats) or "error: <text>"; exit 1 on a
// timeout or bad arguments.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

void put16(std::vector<uint8_t>& d, unsigned long v)
{
    d.push_back(uint8_t(v));
    d.push_back(uint8_t(v >> 8));
}

void put32(std::vector<uint8_t>& d, unsigned long v)
{
    for (int i = 0; i < 4; ++i)
        d.push_back(uint8_t(v >> (8 * i)));
}

uint32_t get32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

int usage()
{
    std::fprintf(stderr, "usage: rpc_client -s PATH [-c cmd] [-f flags] [-W fw] [-H fh] [-w cw] [-h ch] [-x cx]"
                         " [-y cy] [-4 FOURCC] [-a addr] [-p file | -t text | -F floats | -r size]\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string path;
    unsigned long field[8] = {0, 0, 0, 0, 0, 0, 0, 0};  // command .. crop y
    unsigned long fourcc = 0, address = 0;
    std::vector<uint8_t> payload;
    long raw_size = -1;
    int opt;
    while ((opt = getopt(argc, argv, "s:c:f:W:H:w:h:x:y:4:a:p:t:F:r:")) != -1) {
        switch (opt) {
        case 's': path = optarg; break;
        case 'c': field[0] = std::strtoul(optarg, nullptr, 0); break;
        case 'f': field[1] = std::strtoul(optarg, nullptr, 0); break;
        case 'W': field[2] = std::strtoul(optarg, nullptr, 0); break;
        case 'H': field[3] = std::strtoul(optarg, nullptr, 0); break;
        case 'w': field[4] = std::strtoul(optarg, nullptr, 0); break;
        case 'h': field[5] = std::strtoul(optarg, nullptr, 0); break;
        case 'x': field[6] = std::strtoul(optarg, nullptr, 0); break;
        case 'y': field[7] = std::strtoul(optarg, nullptr, 0); break;
        case '4':
            if (std::strlen(optarg) != 4)
                return usage();
            fourcc = get32(reinterpret_cast<const uint8_t*>(optarg));
            break;
        case 'a': address = std::strtoul(optarg, nullptr, 0); break;
        case 'p': {
            std::ifstream in(optarg, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "rpc_client: cannot read %s\n", optarg);
                return 1;
            }
            payload.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            break;
        }
        case 't': payload.assign(optarg, optarg + std::strlen(optarg)); break;
        case 'F': {
            const char* p = optarg;
            while (*p) {
                char* end = nullptr;
                float v = std::strtof(p, &end);
                if (end == p)
                    return usage();
                uint8_t b[4];
                std::memcpy(b, &v, 4);
                payload.insert(payload.end(), b, b + 4);
                p = *end == ',' ? end + 1 : end;
            }
            break;
        }
        case 'r': raw_size = std::strtol(optarg, nullptr, 0); break;
        default: return usage();
        }
    }
    if (path.empty() || path.size() >= sizeof(sockaddr_un::sun_path))
        return usage();

    std::vector<uint8_t> datagram;
    for (int i = 0; i < 8; ++i)
        put16(datagram, field[i]);
    put32(datagram, fourcc);
    put32(datagram, address);
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    if (raw_size >= 0)
        datagram.resize(size_t(raw_size), 0);

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("rpc_client: socket");
        return 1;
    }
    sockaddr_un self{};
    self.sun_family = AF_UNIX;
    if (bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof(sa_family_t)) != 0) {  // autobind
        std::perror("rpc_client: bind");
        return 1;
    }
    sockaddr_un server{};
    server.sun_family = AF_UNIX;
    std::memcpy(server.sun_path, path.data(), path.size());
    socklen_t server_len = socklen_t(offsetof(sockaddr_un, sun_path) + path.size());
    if (path[0] == '@')
        server.sun_path[0] = '\0';
    else
        server_len = sizeof server;
    if (sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&server), server_len) < 0) {
        std::perror("rpc_client: send");
        return 1;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) {
        std::fprintf(stderr, "rpc_client: no reply within 2 s\n");
        return 1;
    }
    std::vector<uint8_t> reply(1 << 22);
    ssize_t n = recv(fd, reply.data(), reply.size(), 0);
    close(fd);
    if (n < 32) {
        std::fprintf(stderr, "rpc_client: short reply (%zd bytes)\n", n);
        return 1;
    }
    const uint8_t* r = reply.data();
    unsigned long long run = (unsigned long long)get32(r) | (unsigned long long)get32(r + 4) << 32;
    uint32_t flags = get32(r + 8), dims = get32(r + 12);
    int32_t shape[4];
    for (int i = 0; i < 4; ++i)
        shape[i] = int32_t(get32(r + 16 + 4 * i));
    std::printf("flags=0x%x dims=%u shape=%d,%d,%d,%d run_ns=%llu\n", flags, dims, shape[0], shape[1], shape[2],
                shape[3], run);
    size_t at = 32, end = size_t(n);
    if (flags == 3) {
        std::printf("error: %.*s\n", int(end - at), reinterpret_cast<const char*>(r + at));
        return 0;
    }
    // Text parts in their order, each up to its NUL; the tensor is the rest.
    const uint32_t text_bits[] = {0x10, 0x20, 0x40};
    for (uint32_t bit : text_bits) {
        if (!(flags & bit))
            continue;
        size_t stop = at;
        while (stop < end && r[stop] != 0)
            ++stop;
        std::printf("%.*s\n", int(stop - at), reinterpret_cast<const char*>(r + at));
        at = stop < end ? stop + 1 : end;
    }
    if (flags & 0x80) {
        for (size_t i = at; i + 4 <= end; i += 4) {
            float v;
            std::memcpy(&v, r + i, 4);
            std::printf(i + 4 < end ? "%g," : "%g\n", double(v));
        }
    }
    return 0;
}
