// The slot rule for the tensor operations, seen through the recording engine:
// which slot is offered the work, what a slot's answer does, and how the CPU
// paths reach engine tensors through the map slots.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "recording_engine.h"
#include "tensor/tensor_record.h"

namespace {

using kestrune::test::RecordingEngine;
using kestrune::test::Slot;

const std::initializer_list<Slot> kMemorySlots = {Slot::kTensorInit, Slot::kAlloc, Slot::kSync,
                                                  Slot::kMapRo,      Slot::kMapRw, Slot::kMapWo,
                                                  Slot::kUnmap};

// A [4] FLOAT32 tensor holding 1..4 (scaled by `base`), on `engine` or the CPU.
struct Tensor {
    unsigned char memory[152];
    nn_tensor* t;
    Tensor(nn_engine* engine, float base)
    {
        t = nn_tensor_init(memory, engine);
        int32_t shape[1] = {4};
        EXPECT_EQ(nn_tensor_alloc(t, NN_TYPE_F32, 1, shape), 0);
        float* p = static_cast<float*>(t->data);
        for (int i = 0; i < 4; ++i)
            p[i] = base * (float)(i + 1);
    }
    ~Tensor() { nn_tensor_release(t); }
    std::vector<float> values() const
    {
        const float* p = static_cast<const float*>(t->data);
        return std::vector<float>(p, p + 4);
    }
};

struct Op {
    const char* name;
    Slot slot;
    bool falls_back_on_5;
    bool cpu_stores_time;
    // Slots the CPU path calls on two engine tensors, in order.
    const char* cpu_sequence;
    std::function<int(nn_tensor* dst, nn_tensor* src)> run;
};

const int32_t kZeros[4] = {0, 0, 0, 0};
const int32_t kAxis0[1] = {0};
const int32_t kOrder[1] = {0};

std::vector<Op> Ops()
{
    return {
        {"fill", Slot::kFill, false, true, "map_wo unmap",
         [](nn_tensor* d, nn_tensor*) { return nn_tensor_fill(d, 2.0); }},
        {"pad", Slot::kPad, false, true, "sync map_ro sync map_rw unmap unmap",
         [](nn_tensor* d, nn_tensor* s) { return nn_tensor_pad(d, s, kZeros, kZeros, 1.5); }},
        {"copy", Slot::kCopy, true, false, "sync map_rw sync map_ro unmap unmap",
         [](nn_tensor* d, nn_tensor* s) { return nn_tensor_copy(d, s); }},
        {"concat", Slot::kConcat, true, true, "sync map_ro sync map_rw unmap unmap",
         [](nn_tensor* d, nn_tensor* s) {
             nn_tensor* in[1] = {s};
             return nn_tensor_concat(d, 1, in, 0);
         }},
        {"slice", Slot::kSlice, false, false, "sync map_rw sync map_ro unmap unmap",
         [](nn_tensor* d, nn_tensor* s) { return nn_tensor_slice(d, s, 1, kAxis0, kZeros, kZeros); }},
        {"shuffle", Slot::kShuffle, false, true, "sync map_rw sync map_ro unmap unmap",
         [](nn_tensor* d, nn_tensor* s) { return nn_tensor_shuffle(d, s, 1, kOrder); }},
    };
}

TEST(EngineOps, SlotAnswerIsTheResult)
{
    for (const Op& op : Ops()) {
        SCOPED_TRACE(op.name);
        RecordingEngine e(kMemorySlots);
        e.Enable(op.slot);
        Tensor dst(e.engine(), 0.0f), src(e.engine(), 1.0f);
        dst.t->time = 1234;
        e.SetResult(op.slot, NN_ERROR_OUT_OF_RESOURCES);
        e.ClearCalls();
        EXPECT_EQ(op.run(dst.t, src.t), NN_ERROR_OUT_OF_RESOURCES);
        EXPECT_EQ(e.Sequence(), "" + std::string(kestrune::test::SlotName(op.slot)));
        EXPECT_EQ(e.calls()[0].tensors[0], dst.t);
        EXPECT_EQ(dst.t->time, 1234u);
        EXPECT_EQ(dst.values(), (std::vector<float>(4, 0.0f)));
    }
}

TEST(EngineOps, NotImplementedFallsBackOnlyForCopyAndConcat)
{
    for (const Op& op : Ops()) {
        SCOPED_TRACE(op.name);
        RecordingEngine e(kMemorySlots);
        e.Enable(op.slot);
        Tensor dst(e.engine(), 0.0f), src(e.engine(), 1.0f);
        dst.t->time = 1234;
        e.SetResult(op.slot, NN_ERROR_NOT_IMPLEMENTED);
        e.ClearCalls();
        const int rc = op.run(dst.t, src.t);
        const std::string name = kestrune::test::SlotName(op.slot);
        EXPECT_EQ(e.Count(op.slot), 1u) << "a called slot is never called again";
        if (op.falls_back_on_5) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(e.Sequence(), name + " " + op.cpu_sequence);
            EXPECT_EQ(dst.values(), (std::vector<float>{1, 2, 3, 4}));
            EXPECT_EQ(dst.t->time != 1234u, op.cpu_stores_time);
        } else {
            EXPECT_EQ(rc, NN_ERROR_NOT_IMPLEMENTED);
            EXPECT_EQ(e.Sequence(), name);
            EXPECT_EQ(dst.t->time, 1234u);
        }
        EXPECT_EQ(nn_tensor_mapped(dst.t) + nn_tensor_mapped(src.t), 0);
    }
}

TEST(EngineOps, SlotUnusedUnlessEveryTensorSharesTheEngine)
{
    for (const Op& op : Ops()) {
        SCOPED_TRACE(op.name);
        RecordingEngine e(kMemorySlots), other(kMemorySlots);
        e.Enable(op.slot);
        other.Enable(op.slot);
        struct Pair {
            const char* what;
            nn_engine* dst;
            nn_engine* src;
        } pairs[] = {
            {"source on the CPU", e.engine(), nullptr},
            {"source on another engine", e.engine(), other.engine()},
            {"destination on the CPU", nullptr, e.engine()},
        };
        for (const auto& p : pairs) {
            SCOPED_TRACE(p.what);
            if (op.slot == Slot::kFill && p.dst)
                continue;  // fill has one tensor
            Tensor dst(p.dst, 0.0f), src(p.src, 1.0f);
            dst.t->time = 1234;
            e.ClearCalls();
            other.ClearCalls();
            EXPECT_EQ(op.run(dst.t, src.t), 0);
            EXPECT_EQ(e.Count(op.slot) + other.Count(op.slot), 0u);
            const std::vector<float> expected =
                op.slot == Slot::kFill ? std::vector<float>(4, 2.0f) : std::vector<float>{1, 2, 3, 4};
            EXPECT_EQ(dst.values(), expected);
            EXPECT_EQ(dst.t->time != 1234u, op.cpu_stores_time);
        }
    }
}

TEST(EngineOps, EngineWithoutTheSlotRunsOnTheCpuThroughTheMapSlots)
{
    for (const Op& op : Ops()) {
        SCOPED_TRACE(op.name);
        RecordingEngine e(kMemorySlots);
        Tensor dst(e.engine(), 0.0f), src(e.engine(), 1.0f);
        e.ClearCalls();
        EXPECT_EQ(op.run(dst.t, src.t), 0);
        EXPECT_EQ(e.Sequence(), op.cpu_sequence);
    }
}

TEST(EngineOps, CompareReturnsTheSlotsNumber)
{
    RecordingEngine e(kMemorySlots);
    e.Enable(Slot::kCompare);
    Tensor a(e.engine(), 1.0f), b(e.engine(), 1.0f), cpu(nullptr, 2.0f);
    for (int answer : {0, 5, 9}) {
        e.SetResult(Slot::kCompare, answer);
        e.ClearCalls();
        EXPECT_EQ(nn_tensor_compare(a.t, b.t, 0.5), answer);
        ASSERT_EQ(e.Count(Slot::kCompare), 1u);
        EXPECT_EQ(e.calls()[0].reals, std::vector<double>{0.5});
    }
    e.ClearCalls();
    testing::internal::CaptureStdout();
    EXPECT_EQ(nn_tensor_compare(a.t, cpu.t, 0.5), 4);  // CPU path: every element differs
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(e.Count(Slot::kCompare), 0u);
}

TEST(EngineOps, ConcatInputCountWithAndWithoutTheSlot)
{
    RecordingEngine e(kMemorySlots);
    e.Enable(Slot::kConcat);
    Tensor dst(e.engine(), 0.0f), src(e.engine(), 1.0f), cpu(nullptr, 1.0f);
    std::vector<nn_tensor*> shared(17, src.t), mixed(17, src.t);
    mixed[16] = cpu.t;
    EXPECT_EQ(nn_tensor_concat(dst.t, 17, shared.data(), 0), 0);  // the engine takes them
    EXPECT_EQ(e.Count(Slot::kConcat), 1u);
    e.SetResult(Slot::kConcat, NN_ERROR_NOT_IMPLEMENTED);
    EXPECT_EQ(nn_tensor_concat(dst.t, 17, shared.data(), 0), NN_ERROR_TOO_MANY_INPUTS);
    e.ClearCalls();
    EXPECT_EQ(nn_tensor_concat(dst.t, 17, mixed.data(), 0), NN_ERROR_TOO_MANY_INPUTS);
    EXPECT_EQ(e.Count(Slot::kConcat), 0u);
    auto concat = e.CallsOf(Slot::kConcat);
    EXPECT_TRUE(concat.empty());
}

TEST(EngineOps, QuantisationMapsThroughTheEngine)
{
    RecordingEngine e(kMemorySlots);
    unsigned char m1[152], m2[152];
    nn_tensor* q = nn_tensor_init(m1, e.engine());
    nn_tensor* f = nn_tensor_init(m2, e.engine());
    int32_t shape[1] = {2};
    ASSERT_EQ(nn_tensor_alloc(q, NN_TYPE_U8, 1, shape), 0);
    ASSERT_EQ(nn_tensor_alloc(f, NN_TYPE_F32, 1, shape), 0);
    int32_t zero = 1;
    float scale = 0.5f;
    nn_tensor_set_zeros(q, 1, &zero, 0);
    nn_tensor_set_scales(q, 1, &scale, 0);
    static_cast<float*>(f->data)[0] = 1.0f;
    static_cast<float*>(f->data)[1] = -0.5f;
    e.ClearCalls();
    ASSERT_EQ(nn_tensor_quantize(q, f, 1), 0);
    EXPECT_EQ(e.Sequence(), "sync map_ro map_wo unmap unmap");  // write-only never syncs
    EXPECT_EQ(static_cast<uint8_t*>(q->data)[0], 3);
    EXPECT_EQ(static_cast<uint8_t*>(q->data)[1], 0);
    e.ClearCalls();
    ASSERT_EQ(nn_tensor_dequantize(f, q), 0);
    EXPECT_EQ(e.Sequence(), "map_wo sync map_ro unmap unmap");
    EXPECT_EQ(static_cast<float*>(f->data)[0], 1.0f);
    EXPECT_EQ(static_cast<float*>(f->data)[1], -0.5f);
    nn_tensor_release(q);
    nn_tensor_release(f);
}

}  // namespace
