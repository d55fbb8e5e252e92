// The entry points as the program reaches them: the echo plug-in is opened
// with the dynamic loader and used only through its nn_plugin record.
#include "nn_plugin.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Library {
    void* handle = dlopen(ECHO_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ~Library()
    {
        if (handle)
            dlclose(handle);
    }
    nn_plugin_init_fn init() const
    {
        return reinterpret_cast<nn_plugin_init_fn>(dlsym(handle, NN_PLUGIN_INIT_SYMBOL));
    }
};

void* const* fields(const nn_plugin& p)
{
    return reinterpret_cast<void* const*>(&p);
}

TEST(PluginEntry, InitFillsOnlyThePluginFields)
{
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    nn_plugin_init_fn init = lib.init();
    ASSERT_NE(init, nullptr);

    nn_plugin zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(init(&zero), 0);
    for (int i = 0; i < 17; ++i) {
        const int field = i + 1;
        const bool plugin_sets = field == 1 || field == 2 || field >= 7;
        if (plugin_sets)
            EXPECT_NE(fields(zero)[i], nullptr) << "field " << field;
        else
            EXPECT_EQ(fields(zero)[i], nullptr) << "field " << field;
    }
    EXPECT_STREQ(zero.name, "Echo");
    EXPECT_STREQ(zero.version, "1.0.0");

    // Fields the program set before the call stay as they were.
    nn_plugin set;
    std::memset(&set, 0, sizeof set);
    int marker;
    set.server = reinterpret_cast<nn_server*>(&marker);
    set.library = lib.handle;
    set.reserved = &marker;
    set.nn_plugin_init = init;
    EXPECT_EQ(init(&set), 0);
    EXPECT_EQ(set.server, reinterpret_cast<nn_server*>(&marker));
    EXPECT_EQ(set.library, lib.handle);
    EXPECT_EQ(set.reserved, &marker);
    EXPECT_EQ(set.nn_plugin_init, init);

    // The record holds the exported entry points themselves.
    const char* names[] = {"nn_plugin_cleanup", "nn_server_options", "nn_server_init",
                           "nn_server_release", "nn_server_model_load", "nn_server_model_unload",
                           "nn_server_http_handler", "nn_server_model_benchmark", "nn_server_model_validated",
                           "nn_server_user_ops", "nn_server_unix_handler"};
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(fields(zero)[6 + i], dlsym(lib.handle, names[i])) << names[i];
}

struct TempFile {
    std::string path;
    explicit TempFile(const std::string& content)
    {
        char name[] = "/tmp/plugin_entry_XXXXXX";
        int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        close(fd);
        path = name;
    }
    ~TempFile() { unlink(path.c_str()); }
};

TEST(PluginEntry, ServerLifecycleThroughTheRecord)
{
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    nn_plugin rec;
    std::memset(&rec, 0, sizeof rec);
    ASSERT_EQ(lib.init()(&rec), 0);

    nn_plugin_options options{4, 0, 3};
    nn_server* server = rec.nn_server_init(0, 1 << 20, nullptr, 1 << 16, nullptr, 1 << 24, nullptr);
    ASSERT_NE(server, nullptr);
    rec.server = server;
    EXPECT_EQ(rec.nn_server_options(server, &options), 0);
    EXPECT_EQ(rec.nn_server_model_validated(server), 0);

    TempFile model("model bytes");
    EXPECT_EQ(rec.nn_server_model_load(server, model.path.c_str(), 1), 0);
    EXPECT_NE(rec.nn_server_model_validated(server), 0);
    rec.nn_server_model_unload(server);
    EXPECT_EQ(rec.nn_server_model_validated(server), 0);

    errno = 0;
    EXPECT_EQ(rec.nn_server_model_load(server, "/nonexistent/model.kfm", 1), 18);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(rec.nn_server_model_validated(server), 0);
    EXPECT_EQ(rec.nn_server_model_load(server, model.path.c_str(), 1), 0);

    EXPECT_EQ(rec.nn_server_user_ops(server, "libops.so:run"), 5);
    EXPECT_EQ(rec.nn_server_model_benchmark(server, 1, 0, -1, 0, 0, 0, "output", nullptr), 5);

    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
    ASSERT_EQ(send(fds[1], "rpc", 3, 0), 3);
    rec.nn_server_unix_handler(server, fds[0]);
    pollfd p{fds[0], POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);  // the datagram was taken off the socket
    close(fds[0]);
    close(fds[1]);

    // Cleanup releases the server with its loaded model (the leak checker
    // reports anything left).
    rec.nn_plugin_cleanup(&rec);
}

}  // namespace

namespace {

TEST(PluginEntry, PluginDefinitionsReplaceTheDefaults)
{
    void* handle = dlopen(ECHO_OWN_OPS_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto init = reinterpret_cast<nn_plugin_init_fn>(dlsym(handle, NN_PLUGIN_INIT_SYMBOL));
    ASSERT_NE(init, nullptr);
    nn_plugin rec;
    std::memset(&rec, 0, sizeof rec);
    ASSERT_EQ(init(&rec), 0);
    rec.server = rec.nn_server_init(0, 0, nullptr, 0, nullptr, 0, nullptr);
    ASSERT_NE(rec.server, nullptr);
    EXPECT_EQ(rec.nn_server_user_ops(rec.server, "echo:accept"), 0);  // the default answers 5
    EXPECT_EQ(rec.nn_server_user_ops(rec.server, "other:fn"), 6);
    rec.nn_plugin_cleanup(&rec);
    dlclose(handle);
}

}  // namespace
