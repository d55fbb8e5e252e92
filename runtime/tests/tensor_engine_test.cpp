// The engine record and the tensor functions' use of its slots, seen through
// the recording engine.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/engine_rule.h"
#include "kestrune/nn.h"
#include "kestrune/nn_engine_plugin.h"
#include "recording_engine.h"

namespace {

using kestrune::test::RecordingEngine;
using kestrune::test::Slot;

TEST(EngineRecord, SizeInitAndNames)
{
    EXPECT_EQ(nn_engine_sizeof(), 1024u);
    EXPECT_EQ(nn_engine_init(nullptr), nullptr);
    EXPECT_EQ(nn_engine_name(nullptr), nullptr);
    EXPECT_EQ(nn_engine_version(nullptr), nullptr);

    alignas(8) unsigned char memory[1024];
    memset(memory, 0xAB, sizeof memory);
    nn_engine* e = nn_engine_init(memory);
    ASSERT_EQ(static_cast<void*>(e), static_cast<void*>(memory));
    for (size_t i = 0; i < sizeof memory; ++i)  // the slots cleared, the plug-in's part kept
        ASSERT_EQ(memory[i], i < 32 * sizeof(void*) ? 0 : 0xAB) << i;
    EXPECT_EQ(nn_engine_name(e), nullptr);
    e->name = "gpu";
    e->version = "3.1";
    EXPECT_STREQ(nn_engine_name(e), "gpu");
    EXPECT_STREQ(nn_engine_version(e), "3.1");
}

TEST(EngineRecord, SlotOffsets)
{
    EXPECT_EQ(offsetof(nn_engine, tensor_init), 6 * sizeof(void*));
    EXPECT_EQ(offsetof(nn_engine, sync), 8 * sizeof(void*));
    EXPECT_EQ(offsetof(nn_engine, mapro), 12 * sizeof(void*));
    EXPECT_EQ(offsetof(nn_engine, maprw), 13 * sizeof(void*));
    EXPECT_EQ(offsetof(nn_engine, mapwo), 14 * sizeof(void*));
    EXPECT_EQ(offsetof(nn_engine, copy), 19 * sizeof(void*));
    EXPECT_EQ(offsetof(nn_engine, conv), 26 * sizeof(void*));
}

TEST(SlotRule, SharedEngine)
{
    RecordingEngine e1({Slot::kTensorInit}), e2({Slot::kTensorInit});
    unsigned char m1[152], m2[152], m3[152], m4[152];
    nn_tensor* a = nn_tensor_init(m1, e1.engine());
    nn_tensor* b = nn_tensor_init(m2, e1.engine());
    nn_tensor* other = nn_tensor_init(m3, e2.engine());
    nn_tensor* cpu = nn_tensor_init(m4, nullptr);
    struct Case {
        const char* what;
        std::vector<nn_tensor*> tensors;
        nn_engine* shared;
    } cases[] = {
        {"one engine tensor", {a}, e1.engine()},
        {"same engine", {a, b, a}, e1.engine()},
        {"first is a CPU tensor", {cpu, a}, nullptr},
        {"another engine", {a, b, other}, nullptr},
        {"a CPU input", {a, cpu}, nullptr},
        {"a missing input", {a, nullptr}, nullptr},
        {"nothing", {}, nullptr},
    };
    for (const auto& c : cases)
        EXPECT_EQ(nn_shared_engine(c.tensors.data(), static_cast<int>(c.tensors.size())), c.shared)
            << c.what;
    EXPECT_EQ(nn_shared_engine2(a, b), e1.engine());
    EXPECT_EQ(nn_shared_engine3(a, b, other), nullptr);
}

// ---- Tensor init and release -------------------------------------------

TEST(EngineTensor, InitKeepsOnlyAnEngineWithATensorInitSlot)
{
    RecordingEngine without({Slot::kAlloc, Slot::kTensorRelease});
    unsigned char m[152];
    nn_tensor* t = nn_tensor_init(m, without.engine());
    EXPECT_EQ(nn_tensor_engine(t), nullptr);
    int32_t shape[1] = {4};
    ASSERT_EQ(nn_tensor_alloc(t, NN_TYPE_F32, 1, shape), 0);  // the CPU allocates
    nn_tensor_release(t);
    EXPECT_EQ(without.calls().size(), 0u);

    RecordingEngine with({Slot::kTensorInit});
    nn_tensor* u = nn_tensor_init(m, with.engine());
    EXPECT_EQ(u, reinterpret_cast<nn_tensor*>(m));
    EXPECT_EQ(nn_tensor_engine(u), with.engine());
    ASSERT_EQ(with.Count(Slot::kTensorInit), 1u);
    EXPECT_EQ(with.calls()[0].tensors[0], u);
    EXPECT_EQ(with.calls()[0].engine, with.engine());
    nn_tensor_release(u);
}

TEST(EngineTensor, InitSlotResultIsTheTensor)
{
    RecordingEngine e({Slot::kTensorInit});
    unsigned char other[152];
    nn_tensor* replacement = nn_tensor_init(other, nullptr);
    e.SetTensorInitResult(replacement);
    EXPECT_EQ(nn_tensor_init(nullptr, e.engine()), replacement);  // the allocated record is the engine's
    unsigned char m[152];
    EXPECT_EQ(nn_tensor_init(m, e.engine()), replacement);

    // A slot that gives no tensor: a record the runtime allocated is freed (leak check).
    e.SetTensorInitResult(nullptr);
    EXPECT_EQ(nn_tensor_init(nullptr, e.engine()), nullptr);
    EXPECT_EQ(nn_tensor_init(m, e.engine()), nullptr);
    EXPECT_EQ(e.Count(Slot::kTensorInit), 4u);
    // The first allocated record was handed to the engine and is lost to the test;
    // the recording engine cannot know it, so free it here through its init call.
    free(e.CallsOf(Slot::kTensorInit)[0].tensors[0]);
}

TEST(EngineTensor, ReleaseCallsOnlyTheReleaseSlot)
{
    RecordingEngine e({Slot::kTensorInit, Slot::kTensorRelease, Slot::kAlloc, Slot::kMapRw,
                       Slot::kUnmap});
    nn_tensor* t = nn_tensor_init(nullptr, e.engine());
    ASSERT_NE(t, nullptr);
    int32_t shape[2] = {2, 2};
    ASSERT_EQ(nn_tensor_alloc(t, NN_TYPE_F32, 2, shape), 0);
    ASSERT_NE(nn_tensor_maprw(t), nullptr);
    ASSERT_NE(nn_tensor_maprw(t), nullptr);
    e.ClearCalls();
    nn_tensor_release(t);
    // Unmapped fully first, then the engine's release; the record stays
    // allocated (the recording engine frees it when it goes).
    EXPECT_EQ(e.Sequence(), "unmap tensor_release");
    EXPECT_EQ(nn_tensor_engine(t), nullptr);
    EXPECT_EQ(nn_tensor_mapped(t), 0);
}

TEST(EngineTensor, ReleaseWithoutReleaseSlotFreesLikeACpuTensor)
{
    RecordingEngine e({Slot::kTensorInit});
    nn_tensor* t = nn_tensor_init(nullptr, e.engine());
    int32_t shape[1] = {8};
    ASSERT_EQ(nn_tensor_alloc(t, NN_TYPE_U8, 1, shape), 0);
    nn_tensor_release(t);  // buffer and record freed by the runtime (leak check)
}

// ---- Shape setting slots ------------------------------------------------

TEST(EngineTensor, ShapeSlotsGetShapeBeforeDims)
{
    RecordingEngine e({Slot::kTensorInit, Slot::kAssign, Slot::kAlloc, Slot::kView});
    unsigned char m[152], pm[152];
    nn_tensor* t = nn_tensor_init(m, e.engine());
    nn_tensor* parent = nn_tensor_init(pm, e.engine());
    int32_t shape[3] = {2, 3, 4};
    float data[24];

    ASSERT_EQ(nn_tensor_alloc(parent, NN_TYPE_F32, 3, shape), 0);
    ASSERT_EQ(nn_tensor_assign(t, NN_TYPE_I16, 2, shape, data), 0);
    ASSERT_EQ(nn_tensor_view(t, NN_TYPE_U8, 1, shape, parent, 12), 0);
    auto alloc = e.CallsOf(Slot::kAlloc);
    auto assign = e.CallsOf(Slot::kAssign);
    auto view = e.CallsOf(Slot::kView);
    ASSERT_EQ(alloc.size(), 1u);
    ASSERT_EQ(assign.size(), 1u);
    ASSERT_EQ(view.size(), 1u);
    EXPECT_EQ(alloc[0].ints, (std::vector<int64_t>{NN_TYPE_F32, 3}));
    EXPECT_EQ(alloc[0].arrays[0], (std::vector<int32_t>{2, 3, 4}));
    EXPECT_EQ(assign[0].ints, (std::vector<int64_t>{NN_TYPE_I16, 2}));
    EXPECT_EQ(assign[0].arrays[0], (std::vector<int32_t>{2, 3}));
    EXPECT_EQ(assign[0].pointer, data);
    EXPECT_EQ(view[0].tensors, (std::vector<nn_tensor*>{t, parent}));
    EXPECT_EQ(view[0].ints, (std::vector<int64_t>{NN_TYPE_U8, 1, 12}));
    // The record's shape was set before the slot ran.
    EXPECT_EQ(nn_tensor_volume(t), 2);
    EXPECT_EQ(nn_tensor_type(t), NN_TYPE_U8);
    nn_tensor_release(t);
    nn_tensor_release(parent);
}

TEST(EngineTensor, SlotStatusIsReturnedWithoutFallBack)
{
    struct Case {
        Slot slot;
        int result;
    } cases[] = {
        {Slot::kAssign, NN_ERROR_OUT_OF_RESOURCES},
        {Slot::kAlloc, NN_ERROR_NOT_IMPLEMENTED},
        {Slot::kView, NN_ERROR_INTERNAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(kestrune::test::SlotName(c.slot));
        RecordingEngine e({Slot::kTensorInit, c.slot});
        e.SetResult(c.slot, c.result);
        unsigned char m[152], pm[152];
        nn_tensor* t = nn_tensor_init(m, e.engine());
        nn_tensor* parent = nn_tensor_init(pm, e.engine());
        int32_t shape[1] = {4};
        float data[4];
        ASSERT_EQ(nn_tensor_assign(parent, NN_TYPE_F32, 1, shape, data), c.slot == Slot::kAssign ? c.result : 0);
        int status = c.slot == Slot::kAssign  ? nn_tensor_assign(t, NN_TYPE_F32, 1, shape, data)
                     : c.slot == Slot::kAlloc ? nn_tensor_alloc(t, NN_TYPE_F32, 1, shape)
                                              : nn_tensor_view(t, NN_TYPE_F32, 1, shape, parent, 0);
        EXPECT_EQ(status, c.result);
        EXPECT_EQ(nn_tensor_native_handle(t), nullptr);  // no CPU memory behind the slot
        EXPECT_EQ(nn_tensor_mapped(parent), 0);
        nn_tensor_release(t);
        nn_tensor_release(parent);
    }
}

TEST(EngineTensor, ViewNeedsOneEngine)
{
    RecordingEngine e({Slot::kTensorInit, Slot::kView}), other({Slot::kTensorInit});
    unsigned char m[152], pm[152], cm[152];
    float data[8] = {};
    int32_t shape[1] = {8};
    int32_t two[1] = {2};
    nn_tensor* cpu = nn_tensor_init(cm, nullptr);
    ASSERT_EQ(nn_tensor_assign(cpu, NN_TYPE_F32, 1, shape, data), 0);

    struct Case {
        const char* what;
        nn_engine* view_engine;
        nn_engine* parent_engine;
    } cases[] = {
        {"engine view of a CPU parent", e.engine(), nullptr},
        {"CPU view of an engine parent", nullptr, e.engine()},
        {"two engines, no view slot on the viewer", other.engine(), e.engine()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        e.ClearCalls();
        nn_tensor* t = nn_tensor_init(m, c.view_engine);
        nn_tensor* parent = c.parent_engine ? nn_tensor_init(pm, c.parent_engine) : cpu;
        if (parent != cpu) {
            ASSERT_EQ(nn_tensor_assign(parent, NN_TYPE_F32, 1, shape, data), 0);
        }
        testing::internal::CaptureStderr();
        EXPECT_EQ(nn_tensor_view(t, NN_TYPE_F32, 1, two, parent, 4), NN_ERROR_INVALID_ENGINE);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "cannot create tensorview using different engines.\n");
        EXPECT_EQ(e.Count(Slot::kView), 0u);
        EXPECT_EQ(nn_tensor_volume(t), 2);  // the shape is set all the same
        EXPECT_EQ(nn_tensor_native_handle(t), nullptr);
        nn_tensor_release(t);
        if (parent != cpu)
            nn_tensor_release(parent);
    }
    nn_tensor_release(cpu);
}

TEST(EngineTensor, ViewWithoutViewSlotMapsTheParentThroughTheEngine)
{
    RecordingEngine e({Slot::kTensorInit, Slot::kMapRw, Slot::kUnmap, Slot::kSync});
    unsigned char m[152], pm[152];
    float data[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    int32_t shape[1] = {8};
    int32_t two[1] = {2};
    nn_tensor* parent = nn_tensor_init(pm, e.engine());
    nn_tensor* t = nn_tensor_init(m, e.engine());
    ASSERT_EQ(nn_tensor_assign(parent, NN_TYPE_F32, 1, shape, data), 0);
    ASSERT_EQ(nn_tensor_view(t, NN_TYPE_F32, 1, two, parent, 8), 0);
    EXPECT_EQ(e.Sequence(), "tensor_init tensor_init sync map_rw unmap");
    EXPECT_EQ(nn_tensor_native_handle(t), &data[2]);
    // Out of the parent's bounds: refused after the parent was given back.
    e.ClearCalls();
    EXPECT_EQ(nn_tensor_view(t, NN_TYPE_F32, 1, two, parent, 28), NN_ERROR_INVALID_SHAPE);
    EXPECT_EQ(e.Sequence(), "sync map_rw unmap");
    EXPECT_EQ(nn_tensor_mapped(parent), 0);
    nn_tensor_release(t);
    nn_tensor_release(parent);
}

// ---- Mapping ------------------------------------------------------------

TEST(EngineTensor, MapSlotsAndSync)
{
    struct Case {
        const char* what;
        Slot map_slot;
        const char* sequence;  // slots called by one map and one unmap
    } cases[] = {
        {"read-only syncs", Slot::kMapRo, "sync map_ro unmap"},
        {"read-write syncs", Slot::kMapRw, "sync map_rw unmap"},
        {"write-only does not", Slot::kMapWo, "map_wo unmap"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingEngine e({Slot::kTensorInit, Slot::kSync, Slot::kMapRo, Slot::kMapRw, Slot::kMapWo,
                           Slot::kUnmap});
        e.SetResult(Slot::kSync, NN_ERROR_INTERNAL);  // ignored by the mapping
        unsigned char m[152];
        nn_tensor* t = nn_tensor_init(m, e.engine());
        int32_t shape[1] = {4};
        float data[4], device[4];
        ASSERT_EQ(nn_tensor_assign(t, NN_TYPE_F32, 1, shape, data), 0);
        e.SetMapResult(c.map_slot, device);
        e.ClearCalls();
        const void* p = c.map_slot == Slot::kMapRo   ? nn_tensor_mapro(t)
                        : c.map_slot == Slot::kMapRw ? nn_tensor_maprw(t)
                                                     : nn_tensor_mapwo(t);
        EXPECT_EQ(p, device);
        // A nested mapping of the same kind calls no slot.
        const void* q = c.map_slot == Slot::kMapRo   ? nn_tensor_mapro(t)
                        : c.map_slot == Slot::kMapRw ? nn_tensor_maprw(t)
                                                     : nn_tensor_mapwo(t);
        EXPECT_EQ(q, device);
        nn_tensor_unmap(t);
        nn_tensor_unmap(t);
        EXPECT_EQ(e.Sequence(), c.sequence);
        auto unmaps = e.CallsOf(Slot::kUnmap);
        ASSERT_EQ(unmaps.size(), 1u);
        EXPECT_EQ(unmaps[0].pointer, device);
        EXPECT_EQ(unmaps[0].tensors[0], t);
        nn_tensor_release(t);
    }
}

TEST(EngineTensor, MapSlotWithoutPointerLeavesTheTensorUnmapped)
{
    RecordingEngine e({Slot::kTensorInit, Slot::kMapRo, Slot::kUnmap});
    e.SetMapResult(Slot::kMapRo, nullptr);
    unsigned char m[152];
    nn_tensor* t = nn_tensor_init(m, e.engine());
    int32_t shape[1] = {4};
    float data[4];
    ASSERT_EQ(nn_tensor_assign(t, NN_TYPE_F32, 1, shape, data), 0);
    EXPECT_EQ(nn_tensor_mapro(t), nullptr);
    EXPECT_EQ(nn_tensor_mapped(t), 0);
    nn_tensor_unmap(t);
    EXPECT_EQ(e.Count(Slot::kUnmap), 0u);
    // Without a slot of that kind, the data field is the mapping.
    EXPECT_EQ(nn_tensor_maprw(t), data);
    nn_tensor_release(t);
    EXPECT_EQ(e.Count(Slot::kUnmap), 1u);
}

TEST(EngineTensor, TimeSyncsAndReportsFailure)
{
    RecordingEngine e({Slot::kTensorInit, Slot::kSync});
    unsigned char m[152];
    nn_tensor* t = nn_tensor_init(m, e.engine());
    EXPECT_EQ(nn_tensor_sync(t), 0);
    e.SetResult(Slot::kSync, NN_ERROR_INVALID_ENGINE);
    EXPECT_EQ(nn_tensor_sync(t), NN_ERROR_INVALID_ENGINE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nn_tensor_time(t), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] nn_tensor_sync failed: invalid engine\n");
    EXPECT_EQ(e.Count(Slot::kSync), 3u);
    EXPECT_EQ(nn_tensor_io_time(t), 0);
    EXPECT_EQ(e.Count(Slot::kSync), 3u);
    nn_tensor_release(t);
}

TEST(EngineTensor, NativeHandleOfAnEngineTensorIsTheEngines)
{
    RecordingEngine e({Slot::kTensorInit, Slot::kAlloc, Slot::kTensorRelease});
    unsigned char m[152];
    nn_tensor* t = nn_tensor_init(m, e.engine());
    int32_t shape[1] = {4};
    ASSERT_EQ(nn_tensor_alloc(t, NN_TYPE_F32, 1, shape), 0);
    void* device = e.BufferOf(t);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(nn_tensor_native_handle(t), device);
    int handle = 0;
    nn_tensor_set_native_handle(t, &handle);  // nothing freed by the runtime
    EXPECT_EQ(nn_tensor_native_handle(t), &handle);
    nn_tensor_release(t);
    EXPECT_EQ(e.BufferOf(t), nullptr);
}

}  // namespace

// ---- The recording engine's own record of operation slots ---------------

TEST(RecordingEngineSlots, OperationSlotsRecordTheirArguments)
{
    RecordingEngine e;
    e.EnableAll();
    nn_engine* r = e.engine();
    EXPECT_STREQ(nn_engine_name(r), "recording");
    unsigned char m[5][152];
    nn_tensor* t[5];
    for (int i = 0; i < 5; ++i)
        t[i] = nn_tensor_init(m[i], r);
    const int32_t head[4] = {0, 1, 2, 0}, tail[4] = {0, 3, 4, 0};
    const int32_t axes[2] = {1, 2}, begins[2] = {0, 1}, ends[2] = {2, 3};
    const int32_t order[3] = {2, 0, 1};
    const int32_t window[4] = {1, 3, 3, 1}, strides[4] = {1, 2, 2, 1};
    const int32_t padding[8] = {0, 0, 1, 1, 1, 1, 0, 0};
    nn_tensor* inputs[2] = {t[1], t[2]};

    e.SetResult(Slot::kCompare, 7);
    e.SetHandler(Slot::kUnary, [](const kestrune::test::SlotCall& c) { return static_cast<int>(c.ints[0]) + 100; });
    e.ClearCalls();
    EXPECT_EQ(r->compare(t[0], t[1], 0.25), 7);
    EXPECT_EQ(r->fill(t[0], 2.5), 0);
    EXPECT_EQ(r->copy(t[0], t[1]), 0);
    EXPECT_EQ(r->pad(t[0], t[1], head, tail, -1.0), 0);
    EXPECT_EQ(r->concat(t[0], inputs, 2, 3), 0);
    EXPECT_EQ(r->slice(t[0], t[1], 2, axes, begins, ends), 0);
    EXPECT_EQ(r->shuffle(t[0], t[1], 3, order), 0);
    EXPECT_EQ(r->avgpool(t[0], t[1], window, strides, padding), 0);
    EXPECT_EQ(r->maxpool(t[0], t[1], window, strides, nullptr), 0);
    EXPECT_EQ(r->conv(t[0], t[1], t[2], t[3], t[4], strides, padding, 4, NN_RELU6), 0);
    EXPECT_EQ(r->matmul(t[0], t[1], t[2], true, false), 0);
    EXPECT_EQ(r->dense(t[0], t[1], t[2], t[3], NN_RELU), 0);
    EXPECT_EQ(r->linear(t[0], t[1], t[2], nullptr, NN_LINEAR), 0);
    EXPECT_EQ(r->binary(t[0], t[1], t[2], NN_BINARY_DIVIDE), 0);
    EXPECT_EQ(r->unary(t[0], t[1], NN_UNARY_SQRT), 106);
    r->fini(r);
    EXPECT_EQ(e.Sequence(),
              "compare fill copy pad concat slice shuffle avgpool maxpool conv matmul dense linear "
              "binary unary fini");

    using V32 = std::vector<int32_t>;
    using V64 = std::vector<int64_t>;
    using VT = std::vector<nn_tensor*>;
    const auto& c = e.calls();
    EXPECT_EQ(c[0].reals, std::vector<double>{0.25});
    EXPECT_EQ(c[1].reals, std::vector<double>{2.5});
    EXPECT_EQ(c[2].tensors, (VT{t[0], t[1]}));
    EXPECT_EQ(c[3].arrays, (std::vector<V32>{V32(head, head + 4), V32(tail, tail + 4)}));
    EXPECT_EQ(c[3].reals, std::vector<double>{-1.0});
    EXPECT_EQ(c[4].tensors, (VT{t[0], t[1], t[2]}));
    EXPECT_EQ(c[4].ints, (V64{2, 3}));
    EXPECT_EQ(c[5].ints, V64{2});
    EXPECT_EQ(c[5].arrays, (std::vector<V32>{{1, 2}, {0, 1}, {2, 3}}));
    EXPECT_EQ(c[6].ints, V64{3});
    EXPECT_EQ(c[6].arrays[0], (V32{2, 0, 1}));
    EXPECT_EQ(c[7].arrays[2], V32(padding, padding + 8));
    EXPECT_TRUE(c[8].arrays[2].empty());
    EXPECT_EQ(c[9].tensors, (VT{t[0], t[1], t[2], t[3], t[4]}));
    EXPECT_EQ(c[9].ints, (V64{4, NN_RELU6}));
    EXPECT_EQ(c[9].arrays, (std::vector<V32>{V32(strides, strides + 4), V32(padding, padding + 8)}));
    EXPECT_EQ(c[10].ints, (V64{1, 0}));
    EXPECT_EQ(c[11].tensors, (VT{t[0], t[1], t[2], t[3]}));
    EXPECT_EQ(c[11].ints, V64{NN_RELU});
    EXPECT_EQ(c[12].tensors[3], nullptr);
    EXPECT_EQ(c[13].ints, V64{NN_BINARY_DIVIDE});
    EXPECT_EQ(c[15].engine, r);
    EXPECT_EQ(e.Count(Slot::kConv), 1u);
    EXPECT_EQ(e.CallsOf(Slot::kShuffle).size(), 1u);

    e.Disable(Slot::kCopy);
    EXPECT_EQ(r->copy, nullptr);
    for (auto* x : t)
        nn_tensor_release(x);
}
