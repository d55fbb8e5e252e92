// The label list loaded from a "labels/" body: line splitting, the bounds on
// count and length, the replacement of an old list, and its replies (with
// allocations failing on demand: the program wraps malloc and its kin).
#include "plugin_labels.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_name.h"
#include "failing_alloc.h"
#include "shared_test.h"

namespace {

using shared_test::Server;

std::vector<std::string> labels_of(nn_server* s)
{
    std::vector<std::string> got;
    for (int i = 0; i < s->common.label_count; ++i)
        got.push_back(s->common.labels[i] ? s->common.labels[i] : "(null)");
    return got;
}

std::string lines(int count, const std::string& end = "\n")
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "label" + std::to_string(i) + end;
    return text;
}

struct LabelsCase {
    std::string label;
    std::string text;
    std::vector<std::string> expected;
};

std::vector<LabelsCase> labels_cases()
{
    const std::string long_line(300, 'x');
    return {
        {"three lines without a final newline", "red\ngreen\nblue", {"red", "green", "blue"}},
        {"CRLF lines", "red\r\ngreen\r\nblue\r\n", {"red", "green", "blue"}},
        {"a final newline adds no label", "red\ngreen\n", {"red", "green"}},
        {"only one CR is dropped", "a\r\r\nb\r", {"a\r", "b"}},
        {"an empty line inside stays a label", "a\n\nb", {"a", "", "b"}},
        {"a lone newline is one empty label", "\n", {""}},
        {"an empty body clears", "", {}},
        {"an over-long line is cut", long_line + "\nnext", {std::string(PLUGIN_LABEL_MAX, 'x'), "next"}},
        {"a line of the longest length is kept whole", std::string(PLUGIN_LABEL_MAX, 'y') + "\r\n",
         {std::string(PLUGIN_LABEL_MAX, 'y')}},
    };
}

class Labels : public ::testing::TestWithParam<LabelsCase> {};

TEST_P(Labels, SplitIntoCopies)
{
    const LabelsCase& c = GetParam();
    Server srv;
    // An earlier list is replaced, not extended (LeakSanitizer sees its texts freed).
    ASSERT_EQ(plugin_labels_load(srv.get(), "old1\nold2\nold3\nold4", 19), 0);
    ASSERT_EQ(plugin_labels_load(srv.get(), c.text.data(), c.text.size()), 0);
    EXPECT_EQ(labels_of(srv.get()), c.expected);
    for (size_t i = 0; i < c.expected.size(); ++i) {
        ASSERT_NE(plugin_label(srv.get(), static_cast<int>(i)), nullptr);
        EXPECT_NE(static_cast<const void*>(plugin_label(srv.get(), static_cast<int>(i))),
                  static_cast<const void*>(c.text.data()));  // a copy, not a view into the body
    }
    EXPECT_EQ(plugin_label(srv.get(), static_cast<int>(c.expected.size())), nullptr);
    EXPECT_EQ(plugin_label(srv.get(), -1), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Cases, Labels, ::testing::ValuesIn(labels_cases()), case_name<LabelsCase>);

TEST(LabelsBounds, AtMostTheSlotsAreFilled)
{
    Server srv;
    const std::string text = lines(NN_SERVER_MAX_LABELS + 1);
    ASSERT_EQ(plugin_labels_load(srv.get(), text.data(), text.size()), 0);
    ASSERT_EQ(srv.s.common.label_count, NN_SERVER_MAX_LABELS);
    EXPECT_STREQ(srv.s.common.labels[0], "label0");
    EXPECT_STREQ(srv.s.common.labels[NN_SERVER_MAX_LABELS - 1], "label1023");
    // Exactly the slots, CRLF and no final line end: all kept.
    const std::string crlf = lines(NN_SERVER_MAX_LABELS, "\r\n");
    ASSERT_EQ(plugin_labels_load(srv.get(), crlf.data(), crlf.size() - 2), 0);
    EXPECT_EQ(srv.s.common.label_count, NN_SERVER_MAX_LABELS);
    EXPECT_STREQ(srv.s.common.labels[NN_SERVER_MAX_LABELS - 1], "label1023");
}

TEST(LabelsBounds, ReadsOnlyTheGivenLength)
{
    Server srv;
    const char text[] = "a\nb\nc";
    ASSERT_EQ(plugin_labels_load(srv.get(), text, 3), 0);  // "a\nb"
    EXPECT_EQ(labels_of(srv.get()), (std::vector<std::string>{"a", "b"}));
    ASSERT_EQ(plugin_labels_load(srv.get(), nullptr, 0), 0);
    EXPECT_EQ(srv.s.common.label_count, 0);
}

TEST(LabelsReply, SuccessAsText)
{
    Server srv;
    testsock::Pair p;
    const std::string body = "cat\ndog\n";
    plugin_labels_upload(p.server(), srv.get(), body.data(), body.size());
    shared_test::Reply r = shared_test::read_reply(p.client());
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "Success");
    EXPECT_TRUE(r.has("Content-Type: text/plain")) << r.head;
    EXPECT_EQ(labels_of(srv.get()), (std::vector<std::string>{"cat", "dog"}));
}

// The k-th copy failing: 415 and no list left (the earlier copies freed);
// once every copy succeeds, the whole list.
TEST(LabelsReply, FailedCopyIsOutOfMemory)
{
    const std::string body = "a\nb\nc";
    for (int k = 0;; ++k) {
        ASSERT_LT(k, 20) << "more than 20 allocations";
        Server srv;
        ASSERT_EQ(plugin_labels_load(srv.get(), "old", 3), 0);
        testsock::Pair p;
        failing_alloc::arm(k);
        int status = plugin_labels_load(srv.get(), body.data(), body.size());
        failing_alloc::disarm();
        if (failing_alloc::calls <= k) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(labels_of(srv.get()), (std::vector<std::string>{"a", "b", "c"}));
            break;
        }
        EXPECT_EQ(status, 3) << k;
        EXPECT_EQ(srv.s.common.label_count, 0) << k;
        failing_alloc::arm(k);
        plugin_labels_upload(p.server(), srv.get(), body.data(), body.size());
        failing_alloc::disarm();
        shared_test::Reply r = shared_test::read_reply(p.client());
        EXPECT_EQ(r.status, 415) << k;
        EXPECT_EQ(r.body, "Out of memory to load labels");
    }
}

TEST(LabelsReply, TopOneByLabelOrIndex)
{
    Server srv;
    {
        testsock::Pair p;
        plugin_reply_top1(p.server(), srv.get(), 0, 0.5f, 7);
        shared_test::Reply r = shared_test::read_reply(p.client());
        EXPECT_EQ(r.status, 404);
        EXPECT_EQ(r.body, "Labels not loaded");
    }
    ASSERT_EQ(plugin_labels_load(srv.get(), "red\ngreen\nblue", 14), 0);
    struct {
        int index;
        const char* body;
    } cases[] = {{1, "green"}, {2, "blue"}, {3, "3"}, {-1, "-1"}};
    for (auto& c : cases) {
        testsock::Pair p;
        plugin_reply_top1(p.server(), srv.get(), c.index, 0.25f, 42);
        shared_test::Reply r = shared_test::read_reply(p.client());
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, c.body);
        EXPECT_TRUE(r.has("X-Softmax: 0.250000")) << r.head;
        EXPECT_TRUE(r.has("X-Model-Timing: 42")) << r.head;
    }
}

TEST(TopOne, FirstOfEqualMaxima)
{
    const float f[] = {0.1f, 0.7f, -2.0f, 0.7f};
    EXPECT_EQ(plugin::top1(f, 4), 1u);
    EXPECT_EQ(plugin::top1(f, 1), 0u);
    EXPECT_EQ(plugin::top1(f, 0), 0u);
    const int8_t s[] = {-128, -5, -7, 127, 127};
    EXPECT_EQ(plugin::top1(s, 5), 3u);
    EXPECT_EQ(plugin::top1(s, 3), 1u);
    const uint8_t u[] = {0, 255, 3, 255};
    EXPECT_EQ(plugin::top1(u, 4), 1u);
}

}  // namespace
