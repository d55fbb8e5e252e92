// Allocation failures during the quantised preparation: the k-th malloc or
// calloc of the step fails (the program is linked with --wrap for both).  A
// failed step returns 3 without calling the operator and leaves nothing
// half-made: the next step completes the objects and computes the layer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "failing_alloc.h"
#include "layer_test_util.h"

namespace {

using namespace layer_test;

std::vector<kfm::Layer> dense_model()
{
    std::vector<int8_t> w(12);
    for (size_t i = 0; i < w.size(); ++i)
        w[i] = static_cast<int8_t>(static_cast<int>(i) - 5);
    return {pooled(quantised(input("x", {1, 4}), NN_TYPE_I8, {0.5f}, {0}), 0),
            constant_q8("w", NN_TYPE_I8, {4, 3}, w, {0.1f}, {0}),
            pooled(quantised(op("d", NN_LAYER_DENSE, {1, 3}, {0, 1}), NN_TYPE_I8, {0.25f}, {0}), 4)};
}

TEST_F(Layers, EachFailedAllocationOfThePreparationGivesThreeAndIsRecovered)
{
    Load(dense_model());
    set_q<int8_t>(0, {1, -2, 3, 4});
    ASSERT_EQ(step(2), 0);
    const std::vector<int8_t> want = kfm_test::elements<int8_t>(t(2));
    nn_context_release(ctx);
    ctx = nullptr;

    int failures = 0;
    for (int k = 0; k < 64; ++k) {
        SCOPED_TRACE(k);
        Load(dense_model());
        set_q<int8_t>(0, {1, -2, 3, 4});
        set_q<int8_t>(2, {9, 9, 9});
        failing_alloc::arm(k);
        int status = nn_context_step(ctx, 2);
        failing_alloc::disarm();
        if (status == 0) {
            EXPECT_EQ(kfm_test::elements<int8_t>(t(2)), want);
            nn_context_release(ctx);
            ctx = nullptr;
            break;  // k is past the step's allocations
        }
        ++failures;
        EXPECT_EQ(status, NN_ERROR_OUT_OF_MEMORY);
        EXPECT_EQ(kfm_test::elements<int8_t>(t(2)), (std::vector<int8_t>{9, 9, 9}));
        ASSERT_EQ(step(2), 0);
        EXPECT_NE(nn_tensor_aux_object_by_name(t(1), "filter_multiplier"), nullptr);
        EXPECT_NE(nn_tensor_aux_object_by_name(t(1), "filter_shifts"), nullptr);
        EXPECT_NE(nn_tensor_aux_object_by_name(t(1), "aux_accum_cache"), nullptr);
        EXPECT_EQ(kfm_test::elements<int8_t>(t(2)), want);
        nn_context_release(ctx);
        ctx = nullptr;
    }
    // Arrays, names and list nodes of three objects.
    EXPECT_GE(failures, 9);
}

// The weights' arrays made for a convolution of one output channel are
// rebuilt for a dense layer of four columns: a rebuild that fails at any
// allocation gives 3 without reading the old arrays, and the next step
// completes it.
TEST_F(Layers, EachFailedAllocationOfARebuildGivesThreeAndIsRecovered)
{
    std::vector<int8_t> w(16);
    for (size_t i = 0; i < w.size(); ++i)
        w[i] = static_cast<int8_t>(static_cast<int>(i % 7) - 3);
    auto model = [&] {
        Load({pooled(quantised(input("x", {1, 4, 4, 1}), NN_TYPE_I8, {0.5f}, {0}), 0),
              constant_q8("w", NN_TYPE_I8, {4, 4, 1, 1}, w, {0.1f}, {0}),
              pooled(quantised(input("v", {1, 4}), NN_TYPE_I8, {0.5f}, {0}), 2),
              pooled(quantised(op("c", NN_LAYER_CONV2D, {1, 1, 1, 1}, {0, 1}, {list("strides", {1, 1, 1, 1})}),
                               NN_TYPE_I8, {0.25f}, {0}),
                     4),
              pooled(quantised(op("d", NN_LAYER_DENSE, {1, 4}, {2, 1}), NN_TYPE_I8, {0.25f}, {0}), 5)});
        set_q<int8_t>(2, {1, -2, 3, 4});
        ASSERT_EQ(step(3), 0);
    };
    model();
    ASSERT_EQ(step(4), 0);
    const std::vector<int8_t> want = kfm_test::elements<int8_t>(t(4));
    nn_context_release(ctx);
    ctx = nullptr;

    int failures = 0;
    for (int k = 0; k < 64; ++k) {
        SCOPED_TRACE(k);
        model();
        set_q<int8_t>(4, {9, 9, 9, 9});
        failing_alloc::arm(k);
        int status = nn_context_step(ctx, 4);
        failing_alloc::disarm();
        if (status != 0) {
            ++failures;
            EXPECT_EQ(status, NN_ERROR_OUT_OF_MEMORY);
            EXPECT_EQ(kfm_test::elements<int8_t>(t(4)), (std::vector<int8_t>{9, 9, 9, 9}));
            ASSERT_EQ(step(4), 0);
        }
        EXPECT_EQ(kfm_test::elements<int8_t>(t(4)), want);
        nn_context_release(ctx);
        ctx = nullptr;
        if (status == 0)
            break;  // k is past the step's allocations
    }
    // Two arrays, the accumulator cache with its name and node.
    EXPECT_GE(failures, 5);
}

}  // namespace
