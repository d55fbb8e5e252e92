// The shared server fields and the default entry points, on a server record
// laid out as every plug-in lays out its own (the shared member first).
#include "plugin.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

struct nn_server {
    nn_server_common common;
    int own_field;
};

extern "C" const char* plugin_engine_name(void)
{
    return "TestEngine";
}

namespace {

struct Server {
    nn_server s{};
    Server() { EXPECT_EQ(nn_server_common_init(&s.common), 0); }
    ~Server() { nn_server_common_release(&s.common); }
};

TEST(PluginServer, InitialNamesAndLoadedFlag)
{
    Server srv;
    EXPECT_STREQ(nn_server_input_name(&srv.s), "input");
    EXPECT_STREQ(nn_server_output_name(&srv.s), "output");
    EXPECT_EQ(nn_server_model_validated(&srv.s), 0);
    srv.s.common.loaded = 1;
    EXPECT_NE(nn_server_model_validated(&srv.s), 0);
    EXPECT_EQ(nn_server_model_validated(nullptr), 0);
}

TEST(PluginServer, NameSetters)
{
    Server srv;
    std::string text = "images";
    const char* in = nn_server_set_input_name(&srv.s, text.c_str());
    ASSERT_NE(in, nullptr);
    EXPECT_NE(in, text.c_str());  // a heap copy
    text[0] = 'X';
    EXPECT_STREQ(nn_server_input_name(&srv.s), "images");
    EXPECT_EQ(nn_server_input_name(&srv.s), in);
    // The old copy is freed (AddressSanitizer reports a leak otherwise).
    const char* again = nn_server_set_input_name(&srv.s, "second");
    EXPECT_STREQ(again, "second");
    const char* out = nn_server_set_output_name(&srv.s, "scores");
    EXPECT_STREQ(nn_server_output_name(&srv.s), "scores");
    EXPECT_EQ(nn_server_output_name(&srv.s), out);
    // Setting the stored name from itself works: the copy is made first.
    EXPECT_STREQ(nn_server_set_output_name(&srv.s, nn_server_output_name(&srv.s)), "scores");
    EXPECT_EQ(nn_server_set_input_name(&srv.s, nullptr), nullptr);
    EXPECT_STREQ(nn_server_input_name(&srv.s), "second");
}

TEST(PluginServer, LabelsClear)
{
    Server srv;
    EXPECT_EQ(labels_clear(&srv.s), 0);
    for (int i = 0; i < 3; ++i)
        srv.s.common.labels[i] = strdup(("label" + std::to_string(i)).c_str());
    srv.s.common.label_count = 3;
    EXPECT_EQ(labels_clear(&srv.s), 3);
    EXPECT_EQ(srv.s.common.label_count, 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(srv.s.common.labels[i], nullptr);
    EXPECT_EQ(labels_clear(&srv.s), 0);
    srv.s.common.label_count = -4;
    EXPECT_EQ(labels_clear(&srv.s), -4);
    // A count past the list frees only the list's slots.
    srv.s.common.label_count = NN_SERVER_MAX_LABELS + 7;
    srv.s.common.labels[NN_SERVER_MAX_LABELS - 1] = strdup("last");
    EXPECT_EQ(labels_clear(&srv.s), NN_SERVER_MAX_LABELS + 7);
    EXPECT_EQ(srv.s.common.labels[NN_SERVER_MAX_LABELS - 1], nullptr);
}

TEST(PluginServer, ReleaseFreesEverything)
{
    nn_server s{};
    ASSERT_EQ(nn_server_common_init(&s.common), 0);
    nn_server_set_input_name(&s, "x");
    s.common.labels[0] = strdup("a");
    s.common.label_count = 1;
    char* pos = json_obj_open(&s.common.json.text, &s.common.json.capacity, nullptr, nullptr);
    ASSERT_NE(pos, nullptr);
    nn_server_common_release(&s.common);
    EXPECT_EQ(s.common.input_name, nullptr);
    EXPECT_EQ(s.common.json.text, nullptr);
    EXPECT_EQ(s.common.label_count, 0);
}

TEST(PluginDefaults, UserOpsNotImplemented)
{
    Server srv;
    EXPECT_EQ(nn_server_user_ops(&srv.s, "libops.so:callback"), 5);
}

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

TEST(PluginDefaults, UnixHandlerDropsOneDatagram)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
    const std::string big(3000, 'd');
    ASSERT_EQ(send(fds[1], big.data(), big.size(), 0), static_cast<ssize_t>(big.size()));
    ASSERT_EQ(send(fds[1], "ab", 2, 0), 2);
    Server srv;
    testing::internal::CaptureStderr();
    nn_server_unix_handler(&srv.s, fds[0]);
    EXPECT_TRUE(readable(fds[0]));  // one of two taken
    nn_server_unix_handler(&srv.s, fds[0]);
    EXPECT_FALSE(readable(fds[0]));
    // Nothing queued: returns at once instead of blocking.
    nn_server_unix_handler(&srv.s, fds[0]);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("[WARNING] ", 0), 0u) << err;
    EXPECT_EQ(err.find("[WARNING] ", 1), std::string::npos) << "warned more than once: " << err;
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
