// The built brindlecast driven as a process with the stand-in plug-in.  Every
// server listens on 127.0.0.1 or a UNIX socket in a temporary folder, every
// wait is bounded, and every process is stopped by its PID.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_socket.h"

namespace {

const std::string kProgram = BRINDLECAST_PATH;
const std::string kPlugins = TEST_PLUGIN_DIR;

std::string plugin_dir(const char* variant) { return kPlugins + "/" + variant; }

std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string temp_dir()
{
    char tmpl[] = "/tmp/brindlecast-test-XXXXXX";
    const char* d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}

long now_ms()
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Process {
    pid_t pid = -1;
    std::string dir, out_path, err_path;
    int status = -1;

    Process(const std::string& cwd, const std::vector<std::string>& args)
    {
        dir = temp_dir();
        out_path = dir + "/stdout";
        err_path = dir + "/stderr";
        pid = fork();
        if (pid == 0) {
            int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int in = open("/dev/null", O_RDONLY);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            if (chdir(cwd.c_str()) != 0)
                _exit(126);
            std::vector<char*> argv;
#ifdef TEST_EMULATOR
            argv.push_back(const_cast<char*>(TEST_EMULATOR));
            argv.push_back(const_cast<char*>("-L"));
            argv.push_back(const_cast<char*>(TEST_EMULATOR_SYSROOT));
#endif
            argv.push_back(const_cast<char*>(kProgram.c_str()));
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
    }
    // Exit status, or -1 after `ms` (the process is then killed).
    int wait(int ms)
    {
        if (pid <= 0)
            return status;
        long end = now_ms() + ms;
        for (;;) {
            int st;
            pid_t r = waitpid(pid, &st, WNOHANG);
            if (r == pid) {
                pid = -1;
                status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                return status;
            }
            if (now_ms() > end) {
                kill(pid, SIGKILL);
                waitpid(pid, &st, 0);
                pid = -1;
                status = -1;
                return status;
            }
            usleep(10000);
        }
    }
    std::string out() const { return slurp(out_path); }
    std::string err() const { return slurp(err_path); }
    ~Process()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            int st;
            waitpid(pid, &st, 0);
        }
        unlink(out_path.c_str());
        unlink(err_path.c_str());
        rmdir(dir.c_str());
    }
};

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr*)&a, sizeof a);
    socklen_t l = sizeof a;
    getsockname(fd, (sockaddr*)&a, &l);
    close(fd);
    return ntohs(a.sin_port);
}

// Connects to 127.0.0.1:port, retrying while the server starts (3 s).
int connect_port(int port, int tries_ms = 3000)
{
    long end = now_ms() + tries_ms;
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, (sockaddr*)&a, sizeof a) == 0) {
            testsock::set_timeouts(fd, 3000);
            return fd;
        }
        close(fd);
        if (now_ms() > end)
            return -1;
        usleep(20000);
    }
}

// Reads one response: the head and Content-Length bytes of body.
std::string read_response(int fd)
{
    std::string got;
    size_t head_end;
    while ((head_end = got.find("\r\n\r\n")) == std::string::npos) {
        std::string more = testsock::read_exact(fd, 1);
        if (more.empty())
            return got;
        got += more;
    }
    size_t length = 0;
    size_t at = got.find("Content-Length: ");
    if (at != std::string::npos && at < head_end)
        length = strtoul(got.c_str() + at + 16, nullptr, 10);
    return got + testsock::read_exact(fd, length);
}

std::string body_of(const std::string& response)
{
    size_t e = response.find("\r\n\r\n");
    return e == std::string::npos ? "" : response.substr(e + 4);
}

// Waits until the peer closes (true) or `ms` pass (false).
bool peer_closes(int fd, int ms)
{
    long end = now_ms() + ms;
    char buf[4096];
    while (now_ms() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
    }
    return false;
}

std::string last_line(const std::string& s)
{
    if (s.empty())
        return s;
    size_t end = s.size() - (s.back() == '\n' ? 1 : 0);
    size_t start = s.rfind('\n', end - 1);
    return s.substr(start == std::string::npos ? 0 : start + 1);
}

// ---- Start-up ------------------------------------------------------------

struct FailureRow {
    const char* label;
    const char* variant;
    std::vector<std::string> args;
    std::string last_stderr_line; // with its line end
};

TEST(BrindlecastStartup, EveryFailureRowExitsOne)
{
    const std::string tmp = temp_dir();
    const std::string regular = tmp + "/regular.sock";
    { std::ofstream(regular) << "keep me"; }
    const std::string long_path = "/" + std::string(107, 'p');
    const std::string long_abstract(107, 'a');
    const std::vector<FailureRow> rows = {
        {"unknown option", "normal", {"-z"}, "invalid parameter ?, try --help for usage\n"},
        {"ambiguous long name", "normal", {"--ver"}, "invalid parameter ?, try --help for usage\n"},
        {"long option missing argument", "normal", {"--model"}, "invalid parameter :, try --help for usage\n"},
        {"short option missing argument", "normal", {"-H"}, "invalid parameter ?, try --help for usage\n"},
        {"flag given a value", "normal", {"-:"}, "invalid parameter ?, try --help for usage\n"},
        {"unknown engine", "normal", {"-e", "cuda"}, "Plugin currently unsupported\n"},
        // An engine whose plug-in is built nowhere: the build's own runtime
        // plug-in would be found through the program's run path.
        {"plug-in missing", "", {"-e", "tflite", "-H", "1"}, "failed to load brindlecast plugin: missing resource\n"},
        {"no init symbol", "noinit", {"-H", "1"}, "failed to load brindlecast plugin: invalid engine\n"},
        {"init fails", "init7", {"-H", "1"}, "failed to load brindlecast plugin: type mismatch\n"},
        {"server not created", "servernull", {"-H", "1"}, "failed to create brindlecast server\n"},
        {"user ops unsupported", "userops5", {"-u", "lib.so:op", "-H", "1"}, "User ops failing or unsupported\n"},
        {"user ops failing", "normal", {"-u", "bad:op", "-H", "1"}, "User ops failing or unsupported\n"},
        {"model: system error", "normal", {"-m", "enoent.kfm"}, "failed to load model enoent.kfm: No such file or directory\n"},
        {"model: status text", "normal", {"-m", "invalid.kfm"}, "failed to load model invalid.kfm: invalid model\n"},
        {"model: unknown status", "normal", {"-m", "status99"}, "failed to load model status99: unknown error 99\n"},
        {"benchmark without model", "normal", {"-b", "3", "-H", "1"}, "cannot run stand-alone benchmarks without a model\n"},
        {"no servers", "normal", {}, "no servers enabled, refer to --http and --unix arguments.\n"},
        {"port 0", "normal", {"-H", "0"}, "failed to parse http port '0'\n"},
        {"port 65536", "normal", {"-H", "65536"}, "failed to parse http port '65536'\n"},
        {"port text", "normal", {"-H", "http"}, "failed to parse http port 'http'\n"},
        {"port sign", "normal", {"-H", "+80"}, "failed to parse http port '+80'\n"},
        {"port junk", "normal", {"-H", "80x"}, "failed to parse http port '80x'\n"},
        {"pathname too long", "normal", {"-U", long_path}, "unix address too long (maximum: 107)\n"},
        {"abstract too long", "normal", {"-U", long_abstract}, "unix address too long (maximum: 106)\n"},
        {"regular file kept", "normal", {"-U", regular},
         "failed to bind unix socket on path " + regular + ": Address already in use\n"},
    };
    for (const FailureRow& r : rows) {
        SCOPED_TRACE(r.label);
        Process p(r.variant[0] ? plugin_dir(r.variant) : kPlugins, r.args);
        ASSERT_EQ(p.wait(5000), 1);
        std::string err = p.err();
        EXPECT_EQ(last_line(err), r.last_stderr_line) << err;
        EXPECT_EQ(err.find("nn_plugin_cleanup"), std::string::npos) << "not unloaded";
    }
    EXPECT_EQ(slurp(regular), "keep me");
    unlink(regular.c_str());
    rmdir(tmp.c_str());
}

TEST(BrindlecastStartup, PortInUse)
{
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, (sockaddr*)&a, sizeof a), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    socklen_t l = sizeof a;
    getsockname(holder, (sockaddr*)&a, &l);
    Process p(plugin_dir("normal"), {"-H", std::to_string(ntohs(a.sin_port)), "-l"});
    EXPECT_EQ(p.wait(5000), 1);
    EXPECT_EQ(last_line(p.err()), "failed to bind socket: Address already in use\n");
    close(holder);
}

TEST(BrindlecastStartup, VersionPrintsBothAndUnloads)
{
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"-v"}, "Brindlecast v2.1.4\nUsing default Plugin: libbrindlecast-rt.so; TestEngine 9.8.7\n"},
        {{"-e", "RT", "--version"}, "Brindlecast v2.1.4\nPlugin: libbrindlecast-rt.so; TestEngine 9.8.7\n"},
    };
    for (const Case& c : cases) {
        Process p(plugin_dir("normal"), c.args);
        ASSERT_EQ(p.wait(5000), 0);
        EXPECT_EQ(p.out(), c.out);
        EXPECT_EQ(p.err(),
                  "plugin: nn_plugin_init server=(nil) library=set reserved=(nil) init=set\n"
                  "plugin: nn_server_init compute=0 mempool=50331648 pool=(nil) cache=16777216 "
                  "cache_mem=(nil) max_model=536870912 model=(nil)\n"
                  "plugin: nn_plugin_cleanup\nplugin: nn_server_release\n");
    }
}

TEST(BrindlecastStartup, HelpShowsCurrentSizes)
{
    struct Case {
        std::vector<std::string> args;
        const char* cache;
        const char* mempool;
        const char* max_model;
    };
    const Case cases[] = {
        {{"-h"}, "16777216", "50331648", "536870912"},
        {{"-C", "100", "-h"}, "100", "50331648", "536870912"},
        {{"-h", "-C", "100"}, "16777216", "50331648", "536870912"},
        {{"-C", "2147483648", "-P", "4294967396", "-M", "-1", "--help=x"}, "-2147483648", "100", "-1"},
        {{"--cache", "abc", "--mem=7", "--max-model= 12junk", "-h"}, "0", "7", "12"},
    };
    for (const Case& c : cases) {
        Process p(plugin_dir("normal"), c.args);
        ASSERT_EQ(p.wait(5000), 0);
        std::string out = p.out();
        EXPECT_EQ(out.rfind("Usage: brindlecast ", 0), 0u);
        EXPECT_NE(out.find(std::string("\tKestrune Cache size in bytes (default: ") + c.cache + ")\n"), std::string::npos) << out;
        EXPECT_NE(out.find(std::string("\tMaximum size for the Kestrune mempool (default: ") + c.mempool + ")\n"), std::string::npos);
        EXPECT_NE(out.find(std::string("\tMaximum model size which can be uploaded (default: ") + c.max_model + ")\n"), std::string::npos);
        EXPECT_NE(out.find("\tProvides verbose logging including layer bencmarking details when in benchmarking mode.\n"),
                  std::string::npos);
        EXPECT_EQ(p.err(), "") << "the plug-in is not loaded";
    }
}

// Call order and the exact arguments each entry point receives.
TEST(BrindlecastStartup, BenchmarkCallOrderAndArguments)
{
    struct Case {
        std::vector<std::string> args;
        std::string log;
    };
    const std::string init = "plugin: nn_plugin_init server=(nil) library=set reserved=(nil) init=set\n";
    const std::string end = "plugin: nn_plugin_cleanup\nplugin: nn_server_release\n";
    const Case cases[] = {
        {{"-m/models/a.kfm", "-b", "5", "-p", "7", "-L", "2", "-VIA", "-t", "3", "-o", "1", "-c", "2", "-C", "1000",
          "-P", "2000", "-M", "3000", "-X", "out.csv", "-u", "lib.so:cb"},
         init +
             "plugin: nn_server_init compute=2 mempool=2000 pool=(nil) cache=1000 cache_mem=(nil) max_model=3000 model=(nil)\n"
             "plugin: nn_server_options server=set threads=3 compute=2 opt_level=1\n"
             "plugin: nn_server_user_ops spec=lib.so:cb\n"
             "plugin: nn_server_model_load path=/models/a.kfm map=1\n"
             "plugin: nn_server_model_benchmark server=set iterations=5 pause=7 layer=2 verbose=1 io_time=1 "
             "all_layers=1 output=output export=out.csv\n" +
             end},
        {{"--model", "m.kfm", "--benchmark=1", "-t", "abc"},
         init +
             "plugin: nn_server_init compute=0 mempool=50331648 pool=(nil) cache=16777216 cache_mem=(nil) max_model=536870912 model=(nil)\n"
             "plugin: nn_server_options server=set threads=0 compute=0 opt_level=3\n"
             "plugin: nn_server_model_load path=m.kfm map=1\n"
             "plugin: nn_server_model_benchmark server=set iterations=1 pause=0 layer=-1 verbose=0 io_time=0 "
             "all_layers=0 output=output export=(null)\n" +
             end},
    };
    for (const Case& c : cases) {
        Process p(plugin_dir("normal"), c.args);
        ASSERT_EQ(p.wait(5000), 0);
        EXPECT_EQ(p.err(), c.log);
        EXPECT_EQ(p.out(), "Using default Plugin: libbrindlecast-rt.so; \n");
    }
}

// ---- Serving -------------------------------------------------------------

struct Server {
    int port;
    Process proc;
    explicit Server(std::vector<std::string> extra = {}, const char* variant = "normal")
        : port(free_port()), proc(plugin_dir(variant), with_port(port, extra))
    {
    }
    static std::vector<std::string> with_port(int port, std::vector<std::string> extra)
    {
        extra.insert(extra.begin(), {"-H", std::to_string(port), "-l"});
        return extra;
    }
    int connect() { return connect_port(port); }
    // One request on a new connection; the connection is closed after.
    std::string request(const std::string& text)
    {
        int fd = connect();
        if (fd < 0)
            return "";
        testsock::send_text(fd, text);
        std::string r = read_response(fd);
        close(fd);
        return r;
    }
    int shutdown_now()
    {
        request("GET /shutdown HTTP/1.1\r\n\r\n");
        return proc.wait(3000);
    }
};

const std::string kCors =
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, PUT, POST, HEAD, DELETE, OPTIONS\r\n"
    "Access-Control-Expose-Headers: *\r\n"
    "Access-Control-Max-Age: 86400\r\n";

std::string crc_hex(const std::string& s)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : s) {
        crc ^= c;
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    char b[9];
    snprintf(b, sizeof b, "%08x", ~crc);
    return b;
}

TEST(BrindlecastServe, KeepAliveRequestsAndShutdown)
{
    Server s;
    int fd = s.connect();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(testsock::send_text(fd, "GET /a?x=1 HTTP/1.1\r\nHost: h\r\n\r\n"));
    std::string r1 = read_response(fd);
    EXPECT_EQ(body_of(r1), "GET /a?x=1\nHost:4:1\nbody 0 00000000\n");
    const std::string body = "some body bytes";
    ASSERT_TRUE(testsock::send_text(fd, "POST /b HTTP/1.1\r\ncontent-length: 15\r\n\r\n" + body));
    std::string r2 = read_response(fd);
    EXPECT_EQ(body_of(r2), "POST /b\ncontent-length:14:2\nbody 15 " + crc_hex(body) + "\n");
    // empty reply still framed: the next request is answered at once
    ASSERT_TRUE(testsock::send_text(fd, "GET /sized/0 HTTP/1.1\r\n\r\n"));
    std::string r3 = read_response(fd);
    EXPECT_NE(r3.find("Content-Length: 0\r\n"), std::string::npos);
    ASSERT_TRUE(testsock::send_text(fd, "GET /shutdown HTTP/1.1\r\n\r\n"));
    std::string r4 = read_response(fd);
    EXPECT_EQ(r4, "HTTP/1.1 200 OK\r\n" + kCors +
                      "Content-Type: text/plain\r\nContent-Length: 16\r\nConnection: close\r\n\r\nShutting down...");
    EXPECT_TRUE(peer_closes(fd, 2000));
    close(fd);
    long t0 = now_ms();
    EXPECT_EQ(s.proc.wait(2000), 0);
    EXPECT_LT(now_ms() - t0, 2000);
    std::string err = s.proc.err();
    EXPECT_NE(err.find("plugin: nn_server_options"), std::string::npos);
    EXPECT_EQ(last_line(err), "plugin: nn_server_release\n");
    EXPECT_NE(err.find("plugin: nn_plugin_cleanup\n"), std::string::npos);
    EXPECT_EQ(err.find("http_loop"), std::string::npos) << err;
}

TEST(BrindlecastServe, SigintWhileIdleExitsZero)
{
    Server s;
    int fd = s.connect(); // make sure it is serving
    ASSERT_GE(fd, 0);
    close(fd);
    usleep(100000);
    long t0 = now_ms();
    kill(s.proc.pid, SIGINT);
    EXPECT_EQ(s.proc.wait(2000), 0);
    EXPECT_LT(now_ms() - t0, 2000);
    EXPECT_NE(s.proc.out().find("Terminating brindlecast...\n"), std::string::npos);
    EXPECT_EQ(last_line(s.proc.err()), "plugin: nn_server_release\n");
}

// SIGINT during a connection takes effect when its receive returns; a second
// SIGINT ends the process at once (the handler was reset).
TEST(BrindlecastServe, SigintDuringConnection)
{
    // a connection open when the first SIGINT comes
    auto interrupt_connected = [](Server& s) {
        int fd = s.connect();
        usleep(200000);
        kill(s.proc.pid, SIGINT);
        usleep(200000);
        return fd;
    };
    {
        Server s;
        int fd = interrupt_connected(s);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(testsock::send_text(fd, "GET /late HTTP/1.1\r\n\r\n"));
        EXPECT_EQ(body_of(read_response(fd)), "GET /late\nbody 0 00000000\n");
        EXPECT_TRUE(peer_closes(fd, 3000));
        close(fd);
        EXPECT_EQ(s.proc.wait(3000), 0);
        EXPECT_NE(s.proc.out().find("Terminating brindlecast...\n"), std::string::npos);
    }
    {
        Server s;
        int fd = interrupt_connected(s);
        ASSERT_GE(fd, 0);
        kill(s.proc.pid, SIGINT);
        EXPECT_EQ(s.proc.wait(3000), 128 + SIGINT);
        close(fd);
    }
}

// The local address of the listening socket, from /proc/net/tcp.
std::string listen_address_of(int port)
{
    std::ifstream f("/proc/net/tcp");
    std::string line;
    char want[8];
    snprintf(want, sizeof want, ":%04X", port);
    while (std::getline(f, line)) {
        std::istringstream in(line);
        std::string slot, local, remote, state;
        in >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == want)
            return local.substr(0, local.size() - 5);
    }
    return "";
}

TEST(BrindlecastServe, LoopbackOptionBindsOnlyLoopback)
{
    for (bool loopback : {true, false}) {
        int port = free_port();
        std::vector<std::string> args = {"-H", std::to_string(port)};
        if (loopback)
            args.push_back("-l");
        Process p(plugin_dir("normal"), args);
        int fd = connect_port(port, 10000);  // a loaded machine starts it slowly
        ASSERT_GE(fd, 0);
        close(fd);
        EXPECT_EQ(listen_address_of(port), loopback ? "0100007F" : "00000000");
        kill(p.pid, SIGINT);
        EXPECT_EQ(p.wait(10000), 0);
    }
}

// Replies with a body on a kept-alive TCP connection do not wait for the
// peer's delayed acknowledgement.
TEST(BrindlecastServe, KeptAliveRepliesDoNotStall)
{
    Server s;
    int fd = s.connect();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(testsock::send_text(fd, "GET /sized/100 HTTP/1.1\r\n\r\n"));
    read_response(fd); // warm up
    long t0 = now_ms();
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(testsock::send_text(fd, "GET /sized/100 HTTP/1.1\r\n\r\n"));
        ASSERT_EQ(body_of(read_response(fd)), std::string(100, 'r'));
    }
    EXPECT_LT(now_ms() - t0, 600) << "about 40 ms per reply means the body waited for an ACK";
    close(fd);
    EXPECT_EQ(s.shutdown_now(), 0);
}

TEST(BrindlecastServe, BadRequestsEndOnlyTheirConnection)
{
    Server s;
    struct Case {
        const char* label;
        std::string request;
        std::string message; // on stderr
    };
    const Case cases[] = {
        {"malformed", "GET / HTTP/3.0\r\n\r\n", "invalid http request GET / HTTP/3.0"},
        {"33 headers",
         [] {
             std::string r = "GET / HTTP/1.1\r\n";
             for (int i = 0; i < 33; ++i)
                 r += "X" + std::to_string(i) + ": 1\r\n";
             return r + "\r\n";
         }(),
         "invalid http request GET / HTTP/1.1"},
        {"bad Content-Length", "POST / HTTP/1.1\r\nContent-Length: 0x10\r\n\r\n", "Invalid Content-Length: 0x10\n"},
        {"bad Expect", "POST / HTTP/1.1\r\nExpect: later\r\nContent-Length: 1\r\n\r\nx", "Invalid Expect: later\n"},
        {"handler failure", "GET /fail HTTP/1.1\r\n\r\n", "http_loop error: No buffer space available\n"},
        {"over 32 MiB", "PUT / HTTP/1.1\r\nContent-Length: 40000000\r\n\r\n",
         "http_loop error: required buffer greater than maximum 33554432\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        int fd = s.connect();
        ASSERT_GE(fd, 0);
        testsock::send_text(fd, c.request);
        EXPECT_TRUE(peer_closes(fd, 3000));
        close(fd);
        // the next client is served
        std::string r = s.request("GET /next HTTP/1.1\r\n\r\n");
        EXPECT_EQ(body_of(r), "GET /next\nbody 0 00000000\n");
        EXPECT_NE(s.proc.err().find(c.message), std::string::npos) << s.proc.err();
    }
    EXPECT_EQ(s.proc.err().find("insufficient memory"), std::string::npos);
    EXPECT_EQ(s.shutdown_now(), 0);
}

TEST(BrindlecastServe, GrowthPipeliningAndContinue)
{
    Server s;
    int fd = s.connect();
    ASSERT_GE(fd, 0);
    // 5000 bytes: the buffer grows once
    std::string body(5000 - 60, 'g');
    std::string req = "PUT /grow HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    ASSERT_TRUE(testsock::send_text(fd, req + body));
    EXPECT_EQ(body_of(read_response(fd)),
              "PUT /grow\nContent-Length:14:4\nbody " + std::to_string(body.size()) + " " + crc_hex(body) + "\n");
    // two pipelined requests in one send, both answered
    ASSERT_TRUE(testsock::send_text(fd, "GET /p1 HTTP/1.1\r\n\r\nGET /p2 HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(body_of(read_response(fd)), "GET /p1\nbody 0 00000000\n");
    EXPECT_EQ(body_of(read_response(fd)), "GET /p2\nbody 0 00000000\n");
    // the interim 100 comes before the body is sent
    ASSERT_TRUE(testsock::send_text(fd, "PUT /c HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n"));
    EXPECT_EQ(read_response(fd), "HTTP/1.1 100 Continue\r\n" + kCors + "\r\n");
    ASSERT_TRUE(testsock::send_text(fd, "abc"));
    EXPECT_EQ(body_of(read_response(fd)), "PUT /c\nExpect:6:12\nContent-Length:14:1\nbody 3 " + crc_hex("abc") + "\n");
    // Transfer-Encoding is refused with 411 and the connection ends
    ASSERT_TRUE(testsock::send_text(fd, "PUT /t HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"));
    std::string r = read_response(fd);
    EXPECT_EQ(r.rfind("HTTP/1.1 411 Length Required\r\n", 0), 0u);
    EXPECT_EQ(body_of(r), "Length Required");
    EXPECT_TRUE(peer_closes(fd, 2000));
    close(fd);
    std::string out = s.proc.out();
    EXPECT_EQ(s.shutdown_now(), 0);
    EXPECT_NE(s.proc.out().find("CAPTURED 40 BYTES -- REQLEN: 20 CONTENT: 0 REMAIN: 20\n"), std::string::npos);
    EXPECT_EQ(s.proc.err().find("http_loop error"), std::string::npos) << s.proc.err();
}

TEST(BrindlecastServe, IdleConnectionTimesOutAfterFiveSeconds)
{
    Server s;
    int fd = s.connect();
    ASSERT_GE(fd, 0);
    long t0 = now_ms();
    EXPECT_TRUE(peer_closes(fd, 8000));
    long waited = now_ms() - t0;
    EXPECT_GE(waited, 4500);
    EXPECT_LE(waited, 7500);
    close(fd);
    EXPECT_NE(s.proc.err().find("http_loop error: Resource temporarily unavailable\n"), std::string::npos);
    EXPECT_EQ(s.shutdown_now(), 0);
}

bool send_datagram(const std::string& address, const std::string& text)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    socklen_t len;
    if (address[0] == '/') {
        memcpy(a.sun_path, address.data(), address.size());
        len = (socklen_t)(offsetof(sockaddr_un, sun_path) + address.size() + 1);
    } else {
        memcpy(a.sun_path + 1, address.data(), address.size());
        len = (socklen_t)(offsetof(sockaddr_un, sun_path) + address.size() + 1);
    }
    bool ok = sendto(fd, text.data(), text.size(), 0, (sockaddr*)&a, len) == (ssize_t)text.size();
    close(fd);
    return ok;
}

bool wait_for(const Process& p, const std::string& text, int ms)
{
    long end = now_ms() + ms;
    while (now_ms() < end) {
        if (p.err().find(text) != std::string::npos)
            return true;
        usleep(20000);
    }
    return false;
}

TEST(BrindlecastServe, UnixSocketPathnameAndAbstract)
{
    const std::string tmp = temp_dir();
    // a stale socket file is replaced; the longest pathname is accepted
    std::string path = tmp + "/";
    path += std::string(107 - path.size(), 's');
    ASSERT_EQ(path.size(), 107u);
    {
        int stale = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        memcpy(a.sun_path, path.data(), path.size());
        ASSERT_EQ(bind(stale, (sockaddr*)&a, sizeof a), 0);
        close(stale);
    }
    char name[64];
    snprintf(name, sizeof name, "brindlecast-test-%d", (int)getpid());
    const std::string abstract = name + std::string(106 - strlen(name), 'x');
    struct Case {
        std::string address;
        bool with_http;
    };
    for (const Case& c : {Case{path, false}, Case{abstract, true}}) {
        SCOPED_TRACE(c.address);
        int port = free_port();
        std::vector<std::string> args = {"-U", c.address};
        if (c.with_http)
            args.insert(args.end(), {"-H", std::to_string(port), "-l"});
        Process p(plugin_dir("normal"), args);
        usleep(200000);
        bool seen = false;
        for (int i = 0; i < 20 && !seen; ++i) { // until the socket is bound
            send_datagram(c.address, "hello");
            seen = wait_for(p, "plugin: nn_server_unix_handler datagram=hello\n", 150);
        }
        EXPECT_TRUE(seen) << p.err();
        if (c.with_http) {
            // a plug-in closing the UNIX socket leaves HTTP served
            ASSERT_TRUE(send_datagram(c.address, "close"));
            EXPECT_TRUE(wait_for(p, "UNIX socket", 3000)) << p.err();
            int fd = connect_port(port);
            ASSERT_GE(fd, 0);
            testsock::send_text(fd, "GET /still HTTP/1.1\r\n\r\n");
            EXPECT_EQ(body_of(read_response(fd)), "GET /still\nbody 0 00000000\n");
            close(fd);
        }
        kill(p.pid, SIGINT);
        EXPECT_EQ(p.wait(3000), 0);
        EXPECT_EQ(p.err().find("select failed"), std::string::npos);
    }
    unlink(path.c_str());
    rmdir(tmp.c_str());
}

} // namespace
