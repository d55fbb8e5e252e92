// The caller's arrays (constant data, per-channel scales, node parameter
// arrays) are read at set-up, verification and every run, never at release:
// under AddressSanitizer a freed array shows at the next run, and freeing
// them all before the release is sound.
#include <cstdlib>

#include "graph_fixture.h"

namespace {

using ovxtest::attr;

template <typename T>
T *heap_copy(std::initializer_list<T> values)
{
    T *p = static_cast<T *>(std::malloc(values.size() * sizeof(T)));
    std::copy(values.begin(), values.end(), p);
    return p;
}

class Lifetime : public ovxtest::GraphTest {
protected:
    // in [2, 2] + per-channel INT8 constant -> permute -> pad -> slice -> out.
    void build()
    {
        data = heap_copy<int8_t>({1, 2, 3, 4});
        scales = heap_copy<float>({0.5f, 0.25f});
        perm = heap_copy<uint32_t>({1, 0});
        front = heap_copy<uint32_t>({1, 0});
        back = heap_copy<uint32_t>({0, 1});
        start = heap_copy<int32_t>({0, 1});
        length = heap_copy<int32_t>({3, 2});
        ovxlib_quant q{};
        q.type = OVXLIB_QUANT_PER_CHANNEL;
        q.scales = scales;
        q.scale_count = 2;
        q.channel_dim = 1;
        const ovxlib_tensor_id in = io(attr({2, 2})), c = constant(attr({2, 2}, OVXLIB_TYPE_INT8, q), data);
        const ovxlib_tensor_id sum = virt(attr({2, 2})), turned = virt(attr({2, 2})), padded = virt(attr({3, 3}));
        out = io(attr({3, 2}));
        node(OVXLIB_OP_ADD, {in, c}, sum);
        ovxlib_node *p = node(OVXLIB_OP_PERMUTE, {sum}, turned);
        p->param.permute = {perm, 2};
        ovxlib_node *pad = node(OVXLIB_OP_PAD, {turned}, padded);
        pad->param.pad.front_size = front;
        pad->param.pad.back_size = back;
        pad->param.pad.dim_count = 2;
        node(OVXLIB_OP_SLICE, {padded}, out)->param.slice = {start, length, 2};
        lists({in}, {out});
        ASSERT_TRUE(ready());
        write<float>(in, {0, 0, 0, 0});
        ASSERT_TRUE(run());
    }
    void free_arrays()
    {
        for (void *p : {static_cast<void *>(data), static_cast<void *>(scales), static_cast<void *>(perm),
                        static_cast<void *>(front), static_cast<void *>(back), static_cast<void *>(start),
                        static_cast<void *>(length)})
            std::free(p);
    }
    int8_t *data = nullptr;
    float *scales = nullptr;
    uint32_t *perm = nullptr, *front = nullptr, *back = nullptr;
    int32_t *start = nullptr, *length = nullptr;
    ovxlib_tensor_id out = OVXLIB_NO_TENSOR;
};

TEST_F(Lifetime, ArraysMayGoBeforeTheRelease)
{
    build();
    // sum (w, h) = data * scale[h]: [0.5, 1], [0.75, 1]; turned rows [0.5, 0.75], [1, 1];
    // padded rows [0, 0.5, 0.75], [0, 1, 1], [0, 0, 0]; the slice keeps columns 0..2 of rows 1..2.
    EXPECT_EQ(read<float>(out), (std::vector<float>{0, 1, 1, 0, 0, 0}));
    free_arrays();
    vsi_nn_ReleaseGraph(&graph);
    EXPECT_EQ(graph, nullptr);
}

#if defined(__SANITIZE_ADDRESS__)
using LifetimeDeathTest = Lifetime;

TEST_F(LifetimeDeathTest, AFreedArrayIsReadAtTheNextRun)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    build();
    EXPECT_DEATH(
        {
            std::free(perm);
            vsi_nn_RunGraph(graph);
        },
        "heap-use-after-free");
    EXPECT_DEATH(
        {
            std::free(data);
            vsi_nn_VerifyGraph(graph);
        },
        "heap-use-after-free");
    free_arrays();
}
#endif

} // namespace
