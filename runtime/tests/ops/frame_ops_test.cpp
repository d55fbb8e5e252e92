// The frame's FLOAT32 views (FrameMaps) and the engine-first step, seen through the operators.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "ops/frame.h"
#include "recording_engine.h"
#include "tensor_ops_fixture.h"

namespace {

using kestrune::test::RecordingEngine;
using kestrune::test::Slot;
using testfx::Tensor;

TEST(MapTensors, Int8InputReusedAndDequantisedAfresh)
{
    Tensor a(NN_TYPE_I8, {4}), b(NN_TYPE_F32, {4}), o(NN_TYPE_F32, {4});
    a.quant({0}, {0.5f});
    a.set<int8_t>({2, 4, 6, 8});
    b.set<float>({0, 0, 0, 0});
    ASSERT_EQ(nn_add(o, a, b), 0);
    EXPECT_EQ(o.get<float>(), (std::vector<float>{1, 2, 3, 4}));
    nn_tensor* aux = (nn_tensor*)nn_tensor_aux_object(a);
    ASSERT_NE(aux, nullptr);
    EXPECT_EQ(nn_tensor_aux_free(a), release_aux_tensor);
    EXPECT_EQ(nn_tensor_type(aux), NN_TYPE_F32);
    EXPECT_EQ(nn_tensor_mapped(aux), 0);
    EXPECT_EQ(nn_tensor_mapped(a), 0);
    EXPECT_EQ(nn_tensor_mapped(b), 0);
    EXPECT_EQ(nn_tensor_mapped(o), 0);

    a.set<int8_t>({-2, 10, 0, 1});
    ASSERT_EQ(nn_add(o, a, b), 0);
    EXPECT_EQ(o.get<float>(), (std::vector<float>{-1, 5, 0, 0.5f}));
    EXPECT_EQ(nn_tensor_aux_object(a), aux);
    EXPECT_EQ(nn_tensor_mapped(aux), 0);
}

// An operand given memory of another volume gets a fresh auxiliary tensor
// instead of overrunning the old one.
TEST(MapTensors, AuxiliaryTensorFollowsTheVolume)
{
    std::vector<int8_t> small = {2, 4}, big = {2, 4, 6, 8, 10, 12};
    Tensor a, o(NN_TYPE_F32, {6});
    a.quant({0}, {0.5f});
    int32_t s2[] = {2}, s6[] = {6};
    ASSERT_EQ(nn_tensor_assign(a, NN_TYPE_I8, 1, s2, small.data()), 0);
    ASSERT_EQ(nn_abs(o, a), 0);
    ASSERT_EQ(nn_tensor_volume((nn_tensor*)nn_tensor_aux_object(a)), 2);
    ASSERT_EQ(nn_tensor_assign(a, NN_TYPE_I8, 1, s6, big.data()), 0);
    ASSERT_EQ(nn_abs(o, a), 0);
    EXPECT_EQ(nn_tensor_volume((nn_tensor*)nn_tensor_aux_object(a)), 6);
    EXPECT_EQ(o.get<float>(), (std::vector<float>{1, 2, 3, 4, 5, 6}));
}

TEST(MapTensors, InPlaceInt8UsesOneAuxiliaryTensorAndQuantisesBack)
{
    Tensor a(NN_TYPE_I8, {4});
    a.quant({0}, {0.5f});
    a.set<int8_t>({-2, 4, -6, 8});
    ASSERT_EQ(nn_abs(a, a), 0);
    EXPECT_EQ(a.get<int8_t>(), (std::vector<int8_t>{2, 4, 6, 8}));
    nn_tensor* aux = (nn_tensor*)nn_tensor_aux_object(a);
    ASSERT_NE(aux, nullptr);
    EXPECT_EQ(nn_tensor_mapped(aux), 0);
    EXPECT_EQ(nn_tensor_mapped(a), 0);
    // the float copy holds the result before quantising
    EXPECT_EQ(std::vector<float>((float*)aux->data, (float*)aux->data + 4),
              (std::vector<float>{1, 2, 3, 4}));
    // a FLOAT32 output with an INT8 and a FLOAT32 input: both unmapped after
    Tensor f(NN_TYPE_F32, {4}), o(NN_TYPE_F32, {4});
    f.set<float>({1, 1, 1, 1});
    ASSERT_EQ(nn_multiply(o, a, f), 0);
    EXPECT_EQ(o.get<float>(), (std::vector<float>{1, 2, 3, 4}));
    EXPECT_EQ(nn_tensor_mapped(aux), 0);
    EXPECT_EQ(nn_tensor_mapped(f), 0);
}

TEST(MapTensors, OutputMappedReadWriteOnlyWhenItIsAnInput)
{
    RecordingEngine eng({Slot::kTensorInit, Slot::kAlloc, Slot::kMapRo, Slot::kMapRw,
                         Slot::kMapWo, Slot::kUnmap, Slot::kTensorRelease});
    nn_tensor* o = nn_tensor_init(nullptr, eng.engine());
    int32_t shape[] = {4};
    ASSERT_EQ(nn_tensor_alloc(o, NN_TYPE_F32, 1, shape), 0);
    Tensor b(NN_TYPE_F32, {4});
    b.set<float>({1, 2, 3, 4});
    eng.ClearCalls();
    ASSERT_EQ(nn_add(o, b, b), 0);  // b on the CPU: no engine slot, CPU path
    EXPECT_EQ(eng.Count(Slot::kMapWo), 1u);
    EXPECT_EQ(eng.Count(Slot::kMapRw), 0u);
    eng.ClearCalls();
    ASSERT_EQ(nn_add(o, o, b), 0);
    EXPECT_EQ(eng.Count(Slot::kMapRw), 1u);
    EXPECT_EQ(eng.Count(Slot::kMapWo), 0u);
    EXPECT_EQ(nn_tensor_mapped(o), 0);
    const float* p = (const float*)eng.BufferOf(o);
    EXPECT_EQ(std::vector<float>(p, p + 4), (std::vector<float>{3, 6, 9, 12}));
    nn_tensor_release(o);
}

TEST(MapTensors, Failures)
{
    Tensor o(NN_TYPE_F32, {4}), f(NN_TYPE_F32, {4});
    // no data: 14, nothing left mapped
    Tensor empty;
    int32_t four[] = {4};
    ASSERT_EQ(nn_tensor_assign(empty, NN_TYPE_F32, 1, four, nullptr), 0);
    EXPECT_EQ(nn_exp(o, empty), NN_ERROR_TENSOR_NO_DATA);
    EXPECT_EQ(nn_tensor_mapped(o), 0);
    // a type the frame's views do not serve
    Tensor i16(NN_TYPE_I16, {4});
    EXPECT_EQ(nn_exp(o, i16), NN_ERROR_TYPE_MISMATCH);
    EXPECT_EQ(nn_tensor_mapped(o), 0);
    // an INT8 input without scales: the dequantisation's status, not stale data
    Tensor q(NN_TYPE_I8, {4});
    o.set<float>({7, 7, 7, 7});
    int status = nn_add(o, f, q);
    EXPECT_NE(status, 0);
    EXPECT_EQ(nn_tensor_mapped(o), 0);
    EXPECT_EQ(nn_tensor_mapped(f), 0);
    if (nn_tensor_aux_object(q)) {
        EXPECT_EQ(nn_tensor_mapped((nn_tensor*)nn_tensor_aux_object(q)), 0);
    }
    EXPECT_EQ(o.get<float>(), (std::vector<float>{7, 7, 7, 7}));
    // an output holding fewer values than written
    Tensor small(NN_TYPE_F32, {3});
    EXPECT_EQ(nn_exp(small, f), NN_ERROR_SHAPE_MISMATCH);
    EXPECT_EQ(nn_sigmoid(small, f), NN_ERROR_SHAPE_MISMATCH);
    EXPECT_EQ(nn_relu(small, f), 0);  // relu writes the output's volume
    Tensor big(NN_TYPE_F32, {5});
    EXPECT_EQ(nn_relu(big, f), NN_ERROR_SHAPE_MISMATCH);
    EXPECT_EQ(nn_relu(o, nullptr), NN_ERROR_INVALID_PARAMETER);
}

struct EngineFixture : ::testing::Test {
    RecordingEngine eng{{Slot::kTensorInit, Slot::kAlloc, Slot::kMapRo, Slot::kMapRw,
                         Slot::kMapWo, Slot::kUnmap, Slot::kTensorRelease, Slot::kUnary,
                         Slot::kBinary, Slot::kMaxPool, Slot::kAvgPool}};
    std::vector<nn_tensor*> owned;
    nn_tensor* Make(std::vector<float> values, std::vector<int32_t> shape)
    {
        nn_tensor* t = nn_tensor_init(nullptr, eng.engine());
        EXPECT_EQ(nn_tensor_alloc(t, NN_TYPE_F32, (int)shape.size(), shape.data()), 0);
        float* p = (float*)eng.BufferOf(t);
        std::copy(values.begin(), values.end(), p);
        owned.push_back(t);
        return t;
    }
    std::vector<float> Get(nn_tensor* t)
    {
        const float* p = (const float*)eng.BufferOf(t);
        return std::vector<float>(p, p + nn_tensor_volume(t));
    }
    ~EngineFixture() override
    {
        for (nn_tensor* t : owned)
            nn_tensor_release(t);
    }
};

TEST_F(EngineFixture, UnarySlotResults)
{
    nn_tensor* in = Make({-1, 2, -3, 4}, {4});
    nn_tensor* out = Make({9, 9, 9, 9}, {4});
    // the slot's own result is returned and nothing is computed
    eng.SetResult(Slot::kUnary, 0);
    EXPECT_EQ(nn_relu(out, in), 0);
    EXPECT_EQ(Get(out), (std::vector<float>{9, 9, 9, 9}));
    ASSERT_EQ(eng.Count(Slot::kUnary), 1u);
    EXPECT_EQ(eng.CallsOf(Slot::kUnary)[0].ints, (std::vector<int64_t>{1}));
    eng.SetResult(Slot::kUnary, NN_ERROR_INTERNAL);
    EXPECT_EQ(nn_relu6(out, in), NN_ERROR_INTERNAL);
    // 5 falls through to the CPU
    eng.SetResult(Slot::kUnary, NN_ERROR_NOT_IMPLEMENTED);
    eng.ClearCalls();
    EXPECT_EQ(nn_relu(out, in), 0);
    EXPECT_EQ(Get(out), (std::vector<float>{0, 2, 0, 4}));
    EXPECT_EQ(nn_sqrt(out, out), 0);
    EXPECT_FLOAT_EQ(Get(out)[1], std::sqrt(2.0f));
    std::vector<int64_t> kinds;
    for (const auto& c : eng.CallsOf(Slot::kUnary))
        kinds.push_back(c.ints[0]);
    EXPECT_EQ(kinds, (std::vector<int64_t>{1, 6}));
    EXPECT_EQ(nn_tensor_mapped(out), 0);
    EXPECT_EQ(nn_tensor_mapped(in), 0);
}

TEST_F(EngineFixture, InputOnAnotherEngineRunsOnTheCpu)
{
    nn_tensor* out = Make({9, 9}, {2});
    Tensor cpu(NN_TYPE_F32, {2});
    cpu.set<float>({-1, 1});
    eng.SetResult(Slot::kUnary, 0);
    eng.SetResult(Slot::kBinary, 0);
    EXPECT_EQ(nn_relu(out, cpu), 0);
    EXPECT_EQ(Get(out), (std::vector<float>{0, 1}));
    EXPECT_EQ(nn_add(out, cpu, cpu), 0);
    EXPECT_EQ(Get(out), (std::vector<float>{-2, 2}));
    EXPECT_EQ(eng.Count(Slot::kUnary), 0u);
    EXPECT_EQ(eng.Count(Slot::kBinary), 0u);
}

TEST_F(EngineFixture, BinarySlotAndFallback)
{
    nn_tensor* a = Make({1, 2}, {2});
    nn_tensor* b = Make({3, 4}, {2});
    nn_tensor* o = Make({0, 0}, {2});
    eng.SetResult(Slot::kBinary, NN_ERROR_SHAPE_MISMATCH);
    EXPECT_EQ(nn_subtract(o, a, b), NN_ERROR_SHAPE_MISMATCH);
    ASSERT_EQ(eng.Count(Slot::kBinary), 1u);
    EXPECT_EQ(eng.CallsOf(Slot::kBinary)[0].ints, (std::vector<int64_t>{1}));
    eng.SetResult(Slot::kBinary, NN_ERROR_NOT_IMPLEMENTED);
    EXPECT_EQ(nn_divide(o, a, b), 0);
    EXPECT_EQ(Get(o), (std::vector<float>{1.0f / 3.0f, 0.5f}));
}

TEST_F(EngineFixture, PoolingSlotResultReturnedUnchanged)
{
    nn_tensor* in = Make({1, 2, 3, 4}, {1, 2, 2, 1});
    nn_tensor* out = Make({9}, {1, 1, 1, 1});
    const int32_t k[4] = {1, 2, 2, 1}, s[4] = {1, 2, 2, 1}, pad[8] = {0};
    for (int result : {(int)NN_ERROR_NOT_IMPLEMENTED, 0, (int)NN_ERROR_INTERNAL}) {
        eng.SetResult(Slot::kMaxPool, result);
        eng.SetResult(Slot::kAvgPool, result);
        EXPECT_EQ(nn_maxpool_ex(out, in, k, s, pad), result);
        EXPECT_EQ(nn_avgpool_ex(out, in, nullptr, k, s, pad), result);
        EXPECT_EQ(Get(out), (std::vector<float>{9}));
    }
    auto calls = eng.CallsOf(Slot::kMaxPool);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].arrays[0], (std::vector<int32_t>{1, 2, 2, 1}));
    // an input off the engine: the CPU pools
    Tensor cpu(NN_TYPE_F32, {1, 2, 2, 1});
    cpu.set<float>({1, 5, 3, 4});
    EXPECT_EQ(nn_maxpool_ex(out, cpu, k, s, pad), 0);
    EXPECT_EQ(Get(out), (std::vector<float>{5}));
}

}  // namespace

// An operand without data once others are mapped: 14, every mapping the call
// took is given back and a reshaped input gets its shape back.
TEST(FrameMaps, OperandWithoutDataAfterOthersGivesEveryMappingBack)
{
    using Run = int (*)(nn_tensor* o, nn_tensor* a, nn_tensor* b);
    static const int32_t one[4] = {1, 1, 1, 1};
    static const int32_t axis1[1] = {1};
    struct Case {
        const char* name;
        nn_type type;
        int missing;  // 0 output, 1 A, 2 B
        Run run;
    };
    const Case cases[] = {
        {"abs", NN_TYPE_F32, 1, [](nn_tensor* o, nn_tensor* a, nn_tensor*) { return nn_abs(o, a); }},
        {"sigmoid", NN_TYPE_F32, 1,
         [](nn_tensor* o, nn_tensor* a, nn_tensor*) { return nn_sigmoid(o, a); }},
        {"softmax", NN_TYPE_F32, 1,
         [](nn_tensor* o, nn_tensor* a, nn_tensor*) { return nn_softmax(o, a); }},
        {"prelu slope", NN_TYPE_F32, 2,
         [](nn_tensor* o, nn_tensor* a, nn_tensor* b) { return nn_prelu(o, a, b); }},
        {"add A", NN_TYPE_F32, 1,
         [](nn_tensor* o, nn_tensor* a, nn_tensor* b) { return nn_add(o, a, b); }},
        {"add B", NN_TYPE_F32, 2,
         [](nn_tensor* o, nn_tensor* a, nn_tensor* b) { return nn_add(o, a, b); }},
        {"add INT8 B", NN_TYPE_I8, 2,
         [](nn_tensor* o, nn_tensor* a, nn_tensor* b) { return nn_add(o, a, b); }},
        {"relu", NN_TYPE_F32, 1, [](nn_tensor* o, nn_tensor* a, nn_tensor*) { return nn_relu(o, a); }},
        {"relu INT8", NN_TYPE_I8, 1,
         [](nn_tensor* o, nn_tensor* a, nn_tensor*) { return nn_relu(o, a); }},
        {"leaky relu", NN_TYPE_F32, 1,
         [](nn_tensor* o, nn_tensor* a, nn_tensor*) { return nn_leaky_relu(o, a, 0.5f); }},
        {"maxpool", NN_TYPE_F32, 1,
         [](nn_tensor* o, nn_tensor* a, nn_tensor*) { return nn_maxpool(o, a, one, one); }},
        {"avgpool", NN_TYPE_F32, 1,
         [](nn_tensor* o, nn_tensor* a, nn_tensor*) { return nn_avgpool(o, a, one, one); }},
        {"reduce", NN_TYPE_F32, 1,
         [](nn_tensor* o, nn_tensor* a, nn_tensor*) { return nn_reduce_sum(o, a, 1, axis1); }},
        {"resize output", NN_TYPE_F32, 0,
         [](nn_tensor* o, nn_tensor* a, nn_tensor*) { return nn_resize(o, a, 0, 0); }},
    };
    int32_t shape[4] = {1, 2, 2, 2};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tensor t[3];
        for (int i = 0; i < 3; ++i) {
            if (i == c.missing)
                ASSERT_EQ(nn_tensor_assign(t[i], c.type, 4, shape, nullptr), 0);
            else
                ASSERT_EQ(nn_tensor_alloc(t[i], c.type, 4, shape), 0);
        }
        EXPECT_EQ(c.run(t[0], t[1], t[2]), NN_ERROR_TENSOR_NO_DATA);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(nn_tensor_mapped(t[i]), 0) << "tensor " << i;
            EXPECT_EQ(std::vector<int32_t>(t[i]->shape, t[i]->shape + t[i]->dims),
                      std::vector<int32_t>(shape, shape + 4))
                << "tensor " << i;
        }
    }
}
