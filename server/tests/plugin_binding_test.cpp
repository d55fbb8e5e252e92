#include <gtest/gtest.h>

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "brindlecast.h"

using brindlecast::nn_plugin_alloc;
using brindlecast::nn_plugin_load;
using brindlecast::nn_plugin_name;
using brindlecast::nn_plugin_release;
using brindlecast::nn_plugin_unload;
using brindlecast::nn_plugin_version;

namespace {

const std::string kPlugins = TEST_PLUGIN_DIR;
const char kFile[] = "libbrindlecast-rt.so";

// Runs a body with the working directory set to `dir`, then returns.
struct InDir {
    explicit InDir(const std::string& dir)
    {
        if (!getcwd(old, sizeof old))
            old[0] = '\0';
        ok = chdir(dir.c_str()) == 0;
    }
    ~InDir()
    {
        if (old[0] && chdir(old) != 0) {
        }
    }
    char old[PATH_MAX];
    bool ok;
};

std::string library_file_of(void* symbol)
{
    Dl_info info{};
    if (!dladdr(symbol, &info) || !info.dli_fname)
        return "";
    return info.dli_fname;
}

bool is_loaded(const std::string& path)
{
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!h)
        return false;
    dlclose(h);
    return true;
}

TEST(PluginBinding, NameInWorkingDirectoryOpensByAbsolutePath)
{
    InDir d(kPlugins + "/normal");
    ASSERT_TRUE(d.ok);
    nn_plugin* p = nn_plugin_alloc(nullptr);
    ASSERT_NE(p, nullptr);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(nn_plugin_load(p, kFile), 0);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(log, "plugin: nn_plugin_init server=(nil) library=set reserved=(nil) init=set\n");
    EXPECT_EQ(library_file_of(reinterpret_cast<void*>(p->nn_plugin_init)), kPlugins + "/normal/" + kFile);
    EXPECT_STREQ(nn_plugin_name(p), "TestEngine");
    EXPECT_STREQ(nn_plugin_version(p), "9.8.7");
    EXPECT_EQ(p->reserved, nullptr);
    EXPECT_EQ(p->server, nullptr);
    ASSERT_NE(p->nn_server_unix_handler, nullptr);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(nn_plugin_unload(p), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "plugin: nn_plugin_cleanup\nplugin: nn_server_release\n");
    EXPECT_EQ(p->library, nullptr);
    EXPECT_FALSE(is_loaded(kPlugins + "/normal/" + kFile));
    free(p);
}

TEST(PluginBinding, LoadFailures)
{
    struct Case {
        const char* label;
        std::string dir;
        std::string file;
        int status;
        std::string message_start; // stderr begins with this
    };
    const std::string empty_dir = kPlugins; // holds no libbrindlecast-rt.so itself
    const std::string long_name = std::string(1100, 'a') + ".so";
    const Case cases[] = {
        {"not in cwd: handed on unchanged", empty_dir, kFile, 12,
         std::string("failed to load plugin ") + kFile + ": "},
        {"colon names are not joined", kPlugins + "/normal", "c:" + std::string(kFile), 12,
         "failed to load plugin c:" + std::string(kFile) + ": "},
        {"no init symbol", kPlugins + "/noinit", kFile, 13, ""},
        {"init status passed through", kPlugins + "/init7", kFile, 7, "plugin: nn_plugin_init"},
        {"absolute path", empty_dir, kPlugins + "/normal/" + kFile, 0, "plugin: nn_plugin_init"},
        {"path too long", empty_dir, long_name, 12, "failed to load plugin " + long_name + ": File name too long\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        InDir d(c.dir);
        ASSERT_TRUE(d.ok);
        if (c.file.rfind("c:", 0) == 0) // a file of that name exists in cwd
            symlink(kFile, c.file.c_str());
        nn_plugin record;
        nn_plugin_alloc(&record);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(nn_plugin_load(&record, c.file.c_str()), c.status);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.compare(0, c.message_start.size(), c.message_start), 0) << err;
        if (c.status == 12 || c.status == 13) {
            EXPECT_EQ(record.library, nullptr);
        }
        if (c.status == 13) {
            EXPECT_FALSE(is_loaded(c.dir + "/" + kFile));
        }
        if (c.file.rfind("c:", 0) == 0)
            unlink(c.file.c_str());
        ::testing::internal::CaptureStderr();
        nn_plugin_unload(&record);
        ::testing::internal::GetCapturedStderr();
    }
}

// A working directory too long for the 1024-byte buffers: a name found there
// is handed on bare when getcwd fails, and refused when the joined path would
// be cut.
TEST(PluginBinding, LongWorkingDirectories)
{
    char base_tmpl[] = "/tmp/brindlecast-cwd-XXXXXX";
    ASSERT_NE(mkdtemp(base_tmpl), nullptr);
    const std::string base = base_tmpl;
    std::vector<std::string> made;
    std::string dir = base;
    std::string joined_too_long, cwd_too_long;
    while (dir.size() < 1100) {
        size_t room = 1010 - dir.size();
        std::string part(dir.size() < 1010 && room > 1 && room < 200 ? room - 1 : 150, 'd');
        dir += "/" + part;
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0) << dir.size();
        made.push_back(dir);
        std::string target = kPlugins + "/normal/" + kFile;
        std::string link = dir + "/" + kFile;
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        if (dir.size() < 1024 && dir.size() + 1 + strlen(kFile) >= 1024)
            joined_too_long = dir;
        if (dir.size() >= 1024)
            cwd_too_long = dir;
    }
    ASSERT_FALSE(joined_too_long.empty());
    ASSERT_FALSE(cwd_too_long.empty());
    struct Case {
        std::string dir;
        std::string message;
    };
    const Case cases[] = {
        {joined_too_long, std::string("failed to load plugin ") + kFile + ": File name too long\n"},
        {cwd_too_long, std::string("failed to load plugin ") + kFile + ": " + kFile + ": cannot open shared object file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir.size());
        InDir d(c.dir);
        ASSERT_TRUE(d.ok);
        nn_plugin record;
        nn_plugin_alloc(&record);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(nn_plugin_load(&record, kFile), 12);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.compare(0, c.message.size(), c.message), 0) << err;
        EXPECT_EQ(record.library, nullptr);
    }
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        unlink((*it + "/" + kFile).c_str());
        rmdir(it->c_str());
    }
    rmdir(base.c_str());
}

TEST(PluginBinding, NullRecordsAndNoCleanup)
{
    EXPECT_EQ(nn_plugin_load(nullptr, kFile), 13);
    EXPECT_EQ(nn_plugin_unload(nullptr), 0);
    EXPECT_EQ(nn_plugin_release(nullptr), 0);
    EXPECT_EQ(nn_plugin_name(nullptr), nullptr);
    EXPECT_EQ(nn_plugin_version(nullptr), nullptr);

    nn_plugin record;
    memset(&record, 0x5a, sizeof record);
    EXPECT_EQ(nn_plugin_alloc(&record), &record);
    EXPECT_EQ(record.name, nullptr);
    EXPECT_EQ(record.nn_server_unix_handler, nullptr);
    EXPECT_EQ(nn_plugin_release(&record), 0); // nothing open: nothing done

    InDir d(kPlugins + "/nocleanup");
    ASSERT_TRUE(d.ok);
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(nn_plugin_load(&record, kFile), 0);
    EXPECT_EQ(record.nn_plugin_cleanup, nullptr);
    EXPECT_EQ(nn_plugin_release(&record), 0);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("cleanup"), std::string::npos);
    EXPECT_EQ(record.library, nullptr);
    EXPECT_FALSE(is_loaded(kPlugins + "/nocleanup/" + kFile));
}

} // namespace
