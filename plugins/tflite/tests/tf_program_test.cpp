// The serving program asked for the TensorFlow Lite engine where its plug-in
// is not built: it names the library it could not load and stops with 1.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST(TfProgram, EngineWithoutPluginExitsOneWithBothMessages)
{
    char tmpl[] = "/tmp/brindlecast-tflite-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, out = dir + "/stdout", err = dir + "/stderr";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        // An empty working directory: nothing there to load instead.
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        std::vector<const char*> argv;
#ifdef TEST_EMULATOR
        argv = {TEST_EMULATOR, "-L", TEST_EMULATOR_SYSROOT};
#endif
        for (const char* a : {BRINDLECAST_PATH, "-e", "tflite", "-H", "0"})
            argv.push_back(a);
        argv.push_back(nullptr);
        execvp(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    // The program stops at once; it is killed by its PID after ten seconds.
    int status = 0;
    pid_t done = 0;
    for (int waited = 0; done == 0 && waited < 1000; ++waited) {
        done = waitpid(pid, &status, WNOHANG);
        if (done == 0)
            usleep(10000);
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "brindlecast -e tflite did not stop";
    }
    ASSERT_EQ(done, pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::string text = slurp(err);
    const std::string first = "failed to load plugin libbrindlecast-tflite.so: ";
    const std::string last = "\nfailed to load brindlecast plugin: missing resource\n";
    ASSERT_EQ(text.rfind(first, 0), 0u) << text;
    ASSERT_GE(text.size(), first.size() + last.size()) << text;
    EXPECT_EQ(text.substr(text.size() - last.size()), last) << text;
    // The loader's own reason sits between, on the first line.
    const std::string reason = text.substr(first.size(), text.size() - first.size() - last.size());
    EXPECT_NE(reason.find("libbrindlecast-tflite.so"), std::string::npos) << reason;
    EXPECT_EQ(reason.find('\n'), std::string::npos) << reason;
    EXPECT_EQ(slurp(out), "");
    unlink(out.c_str());
    unlink(err.c_str());
    rmdir(dir.c_str());
}

}  // namespace
