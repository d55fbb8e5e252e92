#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli.h"

namespace {

const char kShort[] = "hvlVAIb:p:H:U:m:t:o:e:C:P:M:L:X:u:c:";

const cli_option kLong[] = {
    {"help", CLI_OPTIONAL_VALUE, nullptr, 'h'},     {"version", CLI_OPTIONAL_VALUE, nullptr, 'v'},
    {"verbose", CLI_OPTIONAL_VALUE, nullptr, 'V'},  {"loopback", CLI_OPTIONAL_VALUE, nullptr, 'l'},
    {"model", CLI_REQUIRED_ARGUMENT, nullptr, 'm'}, {"mempool", CLI_REQUIRED_ARGUMENT, nullptr, 'P'},
    {"max-model", CLI_REQUIRED_ARGUMENT, nullptr, 'M'}, {"strict", CLI_NO_ARGUMENT, nullptr, 's'},
    {nullptr, 0, nullptr, 0},
};

struct Step {
    int result;
    const char* optarg; // nullptr: no argument
    int optind;         // after the call
};

struct Case {
    const char* label;
    std::vector<std::string> args; // without the program name
    std::vector<Step> steps;       // the last step is the one returning -1
    const char* optstring = kShort;
};

std::vector<Case> cases()
{
    return {
        {"grouped flags", {"-Vl"}, {{'V', nullptr, 1}, {'l', nullptr, 2}, {-1, nullptr, 2}}},
        {"attached argument", {"-m/path"}, {{'m', "/path", 2}, {-1, nullptr, 2}}},
        {"separate argument", {"-m", "/path"}, {{'m', "/path", 3}, {-1, nullptr, 3}}},
        {"long attached", {"--model=/path"}, {{'m', "/path", 2}, {-1, nullptr, 2}}},
        {"long separate", {"--model", "/path"}, {{'m', "/path", 3}, {-1, nullptr, 3}}},
        {"group then argument", {"-Vm/p"}, {{'V', nullptr, 1}, {'m', "/p", 2}, {-1, nullptr, 2}}},
        {"help with value", {"--help=x"}, {{'h', "x", 2}, {-1, nullptr, 2}}},
        {"ambiguous prefix", {"--ver", "-h"}, {{'?', nullptr, 2}, {'h', nullptr, 3}, {-1, nullptr, 3}}},
        {"unique prefix", {"--mem", "5"}, {{'P', "5", 3}, {-1, nullptr, 3}}},
        {"max prefix", {"--max=1"}, {{'M', "1", 2}, {-1, nullptr, 2}}},
        {"exact name", {"--version"}, {{'v', nullptr, 2}, {-1, nullptr, 2}}},
        {"unknown long", {"--nope"}, {{'?', nullptr, 2}, {-1, nullptr, 2}}},
        {"value refused", {"--strict=1"}, {{'?', nullptr, 2}, {-1, nullptr, 2}}},
        {"no-argument long", {"--strict"}, {{'s', nullptr, 2}, {-1, nullptr, 2}}},
        {"long missing argument", {"--model"}, {{':', nullptr, 2}, {-1, nullptr, 2}}},
        {"short missing argument", {"-m"}, {{'?', nullptr, 2}, {-1, nullptr, 2}}},
        {"short missing, colon string", {"-m"}, {{':', nullptr, 2}, {-1, nullptr, 2}}, ":m:"},
        {"unknown short in group", {"-VzV"}, {{'V', nullptr, 1}, {'?', nullptr, 1}, {'V', nullptr, 2}, {-1, nullptr, 2}}},
        {"colon is no option", {"-:"}, {{'?', nullptr, 2}, {-1, nullptr, 2}}},
        {"colon inside group", {"-V:"}, {{'V', nullptr, 1}, {'?', nullptr, 2}, {-1, nullptr, 2}}},
        {"first non-option stops", {"-V", "file", "-l"}, {{'V', nullptr, 2}, {-1, nullptr, 2}}},
        {"lone dash stops", {"-", "-l"}, {{-1, nullptr, 1}}},
        {"double dash stops", {"--", "-l"}, {{-1, nullptr, 2}}},
        {"engine argument", {"-e", "RT"}, {{'e', "RT", 3}, {-1, nullptr, 3}}},
        {"number text", {"-t", "abc"}, {{'t', "abc", 3}, {-1, nullptr, 3}}},
        {"argument may look like an option", {"-m", "-V"}, {{'m', "-V", 3}, {-1, nullptr, 3}}},
        {"optional argument", {"-x"}, {{'x', nullptr, 2}, {-1, nullptr, 2}}, "x::"},
        {"optional attached", {"-xval"}, {{'x', "val", 2}, {-1, nullptr, 2}}, "x::"},
    };
}

TEST(CliGetoptLong, CaseTable)
{
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> words = c.args;
        words.insert(words.begin(), "brindlecast");
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        cli_reset();
        for (size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE(i);
            int r = cli_getopt_long((int)words.size(), argv.data(), c.optstring, kLong, nullptr);
            EXPECT_EQ(r, c.steps[i].result);
            if (c.steps[i].optarg) {
                EXPECT_STREQ(cli_optarg, c.steps[i].optarg);
            } else if (r != '?') {
                EXPECT_EQ(cli_optarg, nullptr);
            }
            EXPECT_EQ(cli_optind, c.steps[i].optind);
        }
    }
}

TEST(CliGetoptLong, FlagAndIndex)
{
    int flag = 0, index = -1;
    const cli_option table[] = {{"a", CLI_OPTIONAL_VALUE, nullptr, 'a'},
                                {"flagged", CLI_OPTIONAL_VALUE, &flag, 42},
                                {nullptr, 0, nullptr, 0}};
    std::string w0 = "p", w1 = "--flag";
    char* argv[] = {&w0[0], &w1[0], nullptr};
    cli_reset();
    EXPECT_EQ(cli_getopt_long(2, argv, "a", table, &index), 0);
    EXPECT_EQ(flag, 42);
    EXPECT_EQ(index, 1);
}

TEST(CliGetopt, OptoptNamesTheCharacter)
{
    std::string w0 = "p", w1 = "-q";
    char* argv[] = {&w0[0], &w1[0], nullptr};
    cli_reset();
    EXPECT_EQ(cli_getopt(2, argv, "ab"), '?');
    EXPECT_EQ(cli_optopt, 'q');
    EXPECT_EQ(cli_getopt(2, argv, "ab"), -1);
}

} // namespace
