// Auxiliary objects: the single-object form, the named list, and a tensor
// switching between them.  Free functions record what they were given.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "tensor/tensor_internal.h"

namespace {

std::vector<std::string> g_log;

// Objects are C strings naming themselves; freeing logs the name.
void LogObject(void* object) { g_log.push_back(std::string("object ") + static_cast<char*>(object)); }

void LogTensorObject(nn_tensor* t)
{
    g_log.push_back(std::string("single ") + static_cast<char*>(nn_tensor_aux_object(t)));
}

struct AuxTest : ::testing::Test {
    alignas(16) unsigned char memory[152];
    nn_tensor* t = nullptr;
    char a[2] = "a", b[2] = "b", c[2] = "c", d[2] = "d";
    void SetUp() override
    {
        g_log.clear();
        t = nn_tensor_init(memory, nullptr);
    }
    void TearDown() override { nn_tensor_release(t); }
    std::vector<std::string> Names()
    {
        std::vector<std::string> names;
        for (auto* n = static_cast<nn_aux_object*>(nn_tensor_aux_object(t)); n; n = n->next)
            names.push_back(n->name);
        return names;
    }
};

TEST_F(AuxTest, NamedListKeepsInsertionOrderAndReplacesInPlace)
{
    nn_tensor_set_aux_object_by_name(t, "a", a, LogObject, true, false);
    nn_tensor_set_aux_object_by_name(t, "b", b, LogObject, true, false);
    nn_tensor_set_aux_object_by_name(t, "a", c, LogObject, true, false);
    EXPECT_EQ(Names(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(g_log, (std::vector<std::string>{"object a"}));
    EXPECT_EQ(nn_tensor_aux_object_by_name(t, "a"), c);
    EXPECT_EQ(nn_tensor_aux_object_by_name(t, "b"), b);
    EXPECT_EQ(nn_tensor_aux_object_by_name(t, "z"), nullptr);
    EXPECT_EQ(nn_tensor_aux_object_by_name(t, nullptr), nullptr);
    EXPECT_EQ(nn_tensor_aux_free(t), nullptr);
    EXPECT_EQ(nn_tensor_aux_free_by_name(t, "b"), &LogObject);
    EXPECT_EQ(nn_tensor_aux_free_by_name(t, "z"), nullptr);
}

TEST_F(AuxTest, ReleaseFreesTheListLastNodeFirst)
{
    nn_tensor_set_aux_object_by_name(t, "a", a, LogObject, true, false);
    nn_tensor_set_aux_object_by_name(t, "b", b, LogObject, true, false);
    nn_tensor_set_aux_object_by_name(t, "c", c, LogObject, true, false);
    nn_tensor_release(t);
    EXPECT_EQ(g_log, (std::vector<std::string>{"object c", "object b", "object a"}));
    EXPECT_EQ(nn_tensor_aux_object(t), nullptr);
    nn_tensor_release(t);
    EXPECT_EQ(g_log.size(), 3u);
}

TEST_F(AuxTest, FlagsDecideWhatTheNodeOwns)
{
    struct Case {
        const char* what;
        bool free_object;
        bool free_name;
        bool object_freed;  // on replacement and on release
    } cases[] = {
        {"owns both", true, true, true},
        {"owns the object", true, false, true},
        {"owns the name", false, true, false},
        {"owns nothing", false, false, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        g_log.clear();
        unsigned char mem[152];
        nn_tensor* x = nn_tensor_init(mem, nullptr);
        // Allocated names are freed under the free-name flag (leak check), borrowed ones not.
        auto name = [&](const char* s) { return k.free_name ? strdup(s) : s; };
        nn_tensor_set_aux_object_by_name(x, name("k"), a, LogObject, k.free_object, k.free_name);
        nn_tensor_set_aux_object_by_name(x, name("k"), b, LogObject, k.free_object, k.free_name);
        EXPECT_EQ(g_log.size(), k.object_freed ? 1u : 0u);
        EXPECT_EQ(nn_tensor_aux_object_by_name(x, "k"), b);
        nn_tensor_release(x);
        EXPECT_EQ(g_log.size(), k.object_freed ? 2u : 0u);
    }
}

TEST_F(AuxTest, StoringTheSameObjectAgainDoesNotFreeIt)
{
    char* name = strdup("k");
    nn_tensor_set_aux_object_by_name(t, name, a, LogObject, true, true);
    nn_tensor_set_aux_object_by_name(t, name, a, LogObject, true, true);
    EXPECT_TRUE(g_log.empty());
    EXPECT_STREQ(static_cast<nn_aux_object*>(nn_tensor_aux_object(t))->name, "k");

    nn_tensor_release(t);
    EXPECT_EQ(g_log, (std::vector<std::string>{"object a"}));

    nn_tensor_set_aux_object(t, b, LogTensorObject);
    nn_tensor_set_aux_object(t, b, LogTensorObject);
    EXPECT_EQ(g_log.size(), 1u);
}

TEST_F(AuxTest, SingleObjectReplacedAndReleasedOnce)
{
    nn_tensor_set_aux_object(t, a, LogTensorObject);
    EXPECT_EQ(nn_tensor_aux_object(t), a);
    EXPECT_EQ(nn_tensor_aux_free(t), &LogTensorObject);
    // The first free function sees the first object, before the second is stored.
    nn_tensor_set_aux_object(t, b, LogTensorObject);
    EXPECT_EQ(g_log, (std::vector<std::string>{"single a"}));
    nn_tensor_release(t);
    EXPECT_EQ(g_log, (std::vector<std::string>{"single a", "single b"}));
    EXPECT_EQ(nn_tensor_aux_object(t), b);  // still shown after release
    EXPECT_EQ(nn_tensor_aux_free(t), nullptr);
    nn_tensor_release(t);
    EXPECT_EQ(g_log.size(), 2u);
    // The stale pointer is not a list and not freed again by a later setter.
    EXPECT_EQ(nn_tensor_aux_object_by_name(t, "b"), nullptr);
    nn_tensor_set_aux_object(t, c, nullptr);
    nn_tensor_set_aux_object_by_name(t, "d", d, LogObject, false, false);
    EXPECT_EQ(g_log.size(), 2u);
}

TEST_F(AuxTest, SettersFreeTheOtherForm)
{
    // Single, then by name: the single object is freed and the list starts empty.
    nn_tensor_set_aux_object(t, a, LogTensorObject);
    nn_tensor_set_aux_object_by_name(t, "b", b, LogObject, true, false);
    EXPECT_EQ(g_log, (std::vector<std::string>{"single a"}));
    EXPECT_EQ(Names(), (std::vector<std::string>{"b"}));
    EXPECT_EQ(nn_tensor_aux_free(t), nullptr);

    // List, then single: the list is freed as release would.
    nn_tensor_set_aux_object_by_name(t, "c", c, LogObject, true, false);
    nn_tensor_set_aux_object(t, d, LogTensorObject);
    EXPECT_EQ(g_log, (std::vector<std::string>{"single a", "object c", "object b"}));
    EXPECT_EQ(nn_tensor_aux_object(t), d);
    EXPECT_EQ(nn_tensor_aux_object_by_name(t, "b"), nullptr);
    nn_tensor_release(t);
    EXPECT_EQ(g_log.back(), "single d");
}

TEST_F(AuxTest, NullArguments)
{
    nn_tensor_set_aux_object(nullptr, a, LogTensorObject);
    nn_tensor_set_aux_object_by_name(nullptr, "a", a, LogObject, true, false);
    nn_tensor_set_aux_object_by_name(t, nullptr, a, LogObject, true, false);
    EXPECT_EQ(nn_tensor_aux_object(nullptr), nullptr);
    EXPECT_EQ(nn_tensor_aux_free(nullptr), nullptr);
    EXPECT_EQ(nn_tensor_aux_object_by_name(nullptr, "a"), nullptr);
    EXPECT_EQ(nn_tensor_aux_object(t), nullptr);
    free_aux_buffer(nullptr);
    release_aux_tensor(nullptr);
    EXPECT_TRUE(g_log.empty());
}

TEST_F(AuxTest, UnlinkTakesANodeOutWithoutFreeing)
{
    nn_tensor_set_aux_object_by_name(t, "a", a, LogObject, true, false);
    nn_tensor_set_aux_object_by_name(t, "b", b, LogObject, true, false);
    nn_tensor_set_aux_object_by_name(t, "c", c, LogObject, true, false);
    auto* first = static_cast<nn_aux_object*>(nn_tensor_aux_object(t));
    auto* middle = first->next;
    nn_tensor_aux_unlink(t, middle);
    EXPECT_EQ(Names(), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(middle->prev, nullptr);
    EXPECT_EQ(middle->next, nullptr);
    nn_tensor_aux_unlink(t, first);  // the entry moves to the neighbour
    EXPECT_EQ(Names(), (std::vector<std::string>{"c"}));
    EXPECT_EQ(nn_tensor_aux_object_by_name(t, "c"), c);
    EXPECT_TRUE(g_log.empty());
    free(middle);
    free(first);
    nn_tensor_release(t);
    EXPECT_EQ(g_log, (std::vector<std::string>{"object c"}));
}

TEST(AuxFreeFunctions, BufferAndTensor)
{
    unsigned char mem[152];
    nn_tensor* t = nn_tensor_init(mem, nullptr);
    // A named plain allocation and a single tensor object, both freed with the tensor.
    nn_tensor_set_aux_object_by_name(t, "buffer", malloc(64), free_aux_buffer, true, false);
    nn_tensor_release(t);

    nn_tensor* inner = nn_tensor_init(nullptr, nullptr);
    int32_t shape[1] = {32};
    ASSERT_EQ(nn_tensor_alloc(inner, NN_TYPE_F32, 1, shape), 0);
    nn_tensor_set_aux_object(t, inner, release_aux_tensor);
    release_aux_tensor(t);  // called directly: releases the inner tensor once
    EXPECT_EQ(nn_tensor_aux_free(t), nullptr);
    nn_tensor_release(t);  // nothing left to release (double free would abort)

    nn_tensor* inner2 = nn_tensor_init(nullptr, nullptr);
    ASSERT_EQ(nn_tensor_alloc(inner2, NN_TYPE_U8, 1, shape), 0);
    nn_tensor_set_aux_object(t, inner2, release_aux_tensor);
    nn_tensor_release(t);  // frees the inner record and buffer (leak check)
    EXPECT_EQ(nn_tensor_aux_object(t), inner2);

    // A named object that is a tensor (record and buffer freed: leak check).
    nn_tensor* named = nn_tensor_init(nullptr, nullptr);
    ASSERT_EQ(nn_tensor_alloc(named, NN_TYPE_F32, 1, shape), 0);
    nn_tensor_set_aux_object_by_name(t, "copy", named, nn_aux_free_tensor, true, false);
    EXPECT_EQ(nn_tensor_aux_object_by_name(t, "copy"), named);
    nn_tensor_release(t);

    // A tensor without aux object, or holding a list, is left alone.
    unsigned char mem2[152];
    nn_tensor* u = nn_tensor_init(mem2, nullptr);
    release_aux_tensor(u);
    char name_only[] = "x";
    nn_tensor_set_aux_object_by_name(u, "x", name_only, nullptr, false, false);
    release_aux_tensor(u);
    EXPECT_EQ(nn_tensor_aux_object_by_name(u, "x"), name_only);
    nn_tensor_release(u);
}

}  // namespace
