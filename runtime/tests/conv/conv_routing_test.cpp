// Routing of the convolution operators shown by its effects (objects left on
// the filter, what an engine receives, which buffers are written), the checks
// of bad input and every failure code.
#include <gtest/gtest.h>

#include <cstring>

#include "conv_cases.h"
#include "kernels/gemm_quant.h"
#include "recording_engine.h"
#include "tensor/tensor_internal.h"

using namespace conv_test;
using kestrune::test::RecordingEngine;
using kestrune::test::Slot;

namespace {

const int32_t kStrides[4] = {1, 1, 1, 1};
const int32_t kPad1[8] = {0, 0, 1, 1, 1, 1, 0, 0};
const int32_t kNoPad[8] = {0, 0, 0, 0, 0, 0, 0, 0};
const int32_t kDil1[4] = {1, 1, 1, 1};
const int32_t kDil2[4] = {1, 2, 2, 1};

// g: n h w cin cout kh kw sh sw top bottom left right dh dw
const Case kF32 = {"f32", {1, 5, 6, 3, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, true, 0, false, false};
const Case kI8 = {"i8", {1, 5, 6, 3, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8PC, true, 1, false, false};

TEST(ConvRouting, GroupsZeroIsDepthwiseOnlyInConv)
{
    const Case dw = {"dw", {1, 5, 5, 4, 4, 3, 3, 1, 1, 0, 0, 0, 0, 1, 1}, Q::F32, true, 1, true, false};
    Built b = Build(dw, 7);
    EXPECT_EQ(nn_conv(b.out, nullptr, b.in, b.filter, b.bias, kStrides, 0, 1), 0);
    Compare(dw, Variant::DepthwiseRows, b);
    EXPECT_GT(nn_tensor_time(b.out), 0);
    // nn_conv_ex takes groups 0 as an ordinary convolution: a [3, 3, 1, 4]
    // filter over 4 input channels is a shape mismatch there.
    EXPECT_EQ(nn_conv_ex(b.out, nullptr, b.in, b.filter, b.bias, kStrides, kNoPad, kDil1, 0, 1),
              NN_ERROR_SHAPE_MISMATCH);
}

TEST(ConvRouting, FilterObjectsAreBuiltOnceAndReused)
{
    Built b = Build(kF32, 1);
    Tensor cache(NN_TYPE_U8, {1 << 16});
    ASSERT_EQ(nn_conv_ex(b.out, cache, b.in, b.filter, b.bias, kStrides, kPad1, kDil1, 1, 0), 0);
    nn_tensor* panel = (nn_tensor*)nn_tensor_aux_object_by_name(b.filter, "filter_aux_panel");
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(nn_tensor_shape(panel)[3], 8);  // first width of {16, 8, 4} dividing Cout
    ASSERT_EQ(nn_conv_ex(b.out, cache, b.in, b.filter, b.bias, kStrides, kPad1, kDil1, 1, 0), 0);
    EXPECT_EQ(nn_tensor_aux_object_by_name(b.filter, "filter_aux_panel"), panel);
    Compare(kF32, Variant::Gemm, b);
    // The filter keeps its shape after the repacking.
    EXPECT_EQ(nn_tensor_shape(b.filter)[0], 3);
    EXPECT_EQ(nn_tensor_shape(b.filter)[3], 8);

    // Cout 13: no width divides it, B stays unpacked.
    const Case odd = {"odd", {1, 4, 5, 3, 13, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, false, 0, false, false};
    Built o = Build(odd, 2);
    ASSERT_EQ(nn_conv_ex(o.out, cache, o.in, o.filter, nullptr, kStrides, kPad1, kDil1, 1, 0), 0);
    EXPECT_EQ(nn_tensor_aux_object_by_name(o.filter, "filter_aux_panel"), nullptr);
    Compare(odd, Variant::Gemm, o);

    // Direct variant of a quantised filter: "filter_aux_f32".
    Built q = Build(kI8, 3);
    ASSERT_EQ(nn_conv_ex(q.out, nullptr, q.in, q.filter, q.bias, kStrides, kPad1, kDil1, 1, 1), 0);
    void* f32 = nn_tensor_aux_object_by_name(q.filter, "filter_aux_f32");
    ASSERT_NE(f32, nullptr);
    ASSERT_EQ(nn_conv_ex(q.out, nullptr, q.in, q.filter, q.bias, kStrides, kPad1, kDil1, 1, 1), 0);
    EXPECT_EQ(nn_tensor_aux_object_by_name(q.filter, "filter_aux_f32"), f32);
    Compare(kI8, Variant::Direct, q);
}

// The INT8 filter's panels grouped for the dot product: made at the first
// run where the CPU has the instructions (none elsewhere), then reused.
TEST(ConvRouting, DotProductPanelsAreBuiltOnceWhereTheCpuHasThem)
{
    Case c = kI8;
    c.reduce_zero = true;  // the column sums the layout-8 column stage takes
    Built b = Build(c, 5);
    Tensor cache(NN_TYPE_U8, {1 << 16});
    ASSERT_EQ(nn_conv_ex(b.out, cache, b.in, b.filter, b.bias, kStrides, kPad1, kDil1, 1, 1), 0);
    ASSERT_NE(nn_tensor_aux_object_by_name(b.filter, "filter_aux_panel"), nullptr);
    void* grouped = nn_tensor_aux_object_by_name(b.filter, "filter_aux_panel_dot");
    EXPECT_EQ(grouped != nullptr, gemm_i8_dot_available() != 0);
    ASSERT_EQ(nn_conv_ex(b.out, cache, b.in, b.filter, b.bias, kStrides, kPad1, kDil1, 1, 1), 0);
    EXPECT_EQ(nn_tensor_aux_object_by_name(b.filter, "filter_aux_panel_dot"), grouped);
    Compare(c, Variant::Gemm, b);
}

TEST(ConvRouting, DilatedFilterIsReusedAndRebuiltForOtherDilations)
{
    Case c = kF32;
    c.g.top = c.g.bottom = c.g.left = c.g.right = 2;
    c.g.dh = c.g.dw = 2;
    Built b = Build(c, 4);
    const int32_t pad2[8] = {0, 0, 2, 2, 2, 2, 0, 0};
    ASSERT_EQ(nn_conv_ex(b.out, nullptr, b.in, b.filter, b.bias, kStrides, pad2, kDil2, 1, 0), 0);
    nn_tensor* d = (nn_tensor*)nn_tensor_aux_object_by_name(b.filter, "filter_aux_dilated");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(nn_tensor_shape(d)[0], 5);
    EXPECT_EQ(nn_tensor_shape(d)[1], 5);
    ASSERT_EQ(nn_conv_ex(b.out, nullptr, b.in, b.filter, b.bias, kStrides, pad2, kDil2, 1, 0), 0);
    EXPECT_EQ(nn_tensor_aux_object_by_name(b.filter, "filter_aux_dilated"), d);
    Compare(c, Variant::Direct, b);

    // Dilation 3 needs a 7x7 window: the object is replaced, the taps are right.
    Case c3 = c;
    c3.g.dh = c3.g.dw = 3;
    c3.g.top = c3.g.bottom = c3.g.left = c3.g.right = 3;
    Built b3 = Build(c3, 4);  // same seed: same filter values
    const int32_t pad3[8] = {0, 0, 3, 3, 3, 3, 0, 0};
    const int32_t dil3[4] = {1, 3, 3, 1};
    // Run dilation 2 first on this filter, then 3.
    Tensor out2b(NN_TYPE_F32, {1, (5 + 4 - 5) + 1, (6 + 4 - 5) + 1, 8});
    ASSERT_EQ(nn_conv_ex(out2b, nullptr, b3.in, b3.filter, b3.bias, kStrides, pad2, kDil2, 1, 0), 0);
    ASSERT_EQ(nn_conv_ex(b3.out, nullptr, b3.in, b3.filter, b3.bias, kStrides, pad3, dil3, 1, 0), 0);
    nn_tensor* d3 = (nn_tensor*)nn_tensor_aux_object_by_name(b3.filter, "filter_aux_dilated");
    ASSERT_NE(d3, nullptr);
    EXPECT_EQ(nn_tensor_shape(d3)[0], 7);
    Compare(c3, Variant::Direct, b3);
}

TEST(ConvRouting, DilatedFillByteIsTheFilterZeroPoint)
{
    Tensor in(NN_TYPE_U8, {1, 5, 5, 2}), out(NN_TYPE_U8, {1, 1, 1, 1});
    Tensor filter(NN_TYPE_U8, {2, 2, 2, 1});
    filter.Set(std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8});
    filter.Quant({0x105}, {0.5f});  // low byte 5
    in.Quant({0}, {1.0f});
    out.Quant({0}, {1.0f});
    ASSERT_EQ(nn_conv_ex(out, nullptr, in, filter, nullptr, kStrides, kNoPad, kDil2, 1, 0), 0);
    nn_tensor* d = (nn_tensor*)nn_tensor_aux_object_by_name(filter, "filter_aux_dilated");
    ASSERT_NE(d, nullptr);
    const uint8_t* p = (const uint8_t*)nn_tensor_mapro(d);
    // [3, 3, 2, 1]: taps at (0,0) (0,2) (2,0) (2,2), everything else 5.
    const uint8_t want[18] = {1, 2, 5, 5, 3, 4, 5, 5, 5, 5, 5, 5, 5, 6, 5, 5, 7, 8};
    EXPECT_EQ(std::memcmp(p, want, 18), 0);
    nn_tensor_unmap(d);
    size_t nz = 0, ns = 0;
    EXPECT_EQ(nn_tensor_zeros(d, &nz)[0], 0x105);
    EXPECT_EQ(nn_tensor_scales(d, &ns)[0], 0.5f);
}

TEST(ConvRouting, EngineGetsTheDilatedFilterAndItsResult)
{
    RecordingEngine eng({Slot::kTensorInit, Slot::kAlloc, Slot::kMapRo, Slot::kMapRw,
                         Slot::kMapWo, Slot::kUnmap, Slot::kConv});
    Tensor in(NN_TYPE_F32, {1, 6, 6, 2}, eng.engine()), out(NN_TYPE_F32, {1, 2, 2, 3}, eng.engine());
    Tensor filter(NN_TYPE_F32, {3, 3, 2, 3}, eng.engine());
    Tensor bias(NN_TYPE_F32, {3});  // on the CPU: not compared
    eng.SetResult(Slot::kConv, 42);
    const int32_t strides[4] = {1, 1, 1, 1};
    EXPECT_EQ(nn_conv_ex(out, nullptr, in, filter, bias, strides, kNoPad, kDil2, 1, 2), 42);
    auto calls = eng.CallsOf(Slot::kConv);
    ASSERT_EQ(calls.size(), 1u);
    nn_tensor* d = (nn_tensor*)nn_tensor_aux_object_by_name(filter, "filter_aux_dilated");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(calls[0].tensors[3], d);
    EXPECT_EQ(calls[0].tensors[4], (nn_tensor*)bias);
    EXPECT_EQ(calls[0].ints, (std::vector<int64_t>{1, 2}));
    // 5 from the slot is returned as is for an ordinary convolution ...
    eng.SetResult(Slot::kConv, NN_ERROR_NOT_IMPLEMENTED);
    EXPECT_EQ(nn_conv(out, nullptr, in, filter, bias, strides, 1, 0), NN_ERROR_NOT_IMPLEMENTED);
    EXPECT_EQ(eng.CallsOf(Slot::kConv).back().tensors[3], (nn_tensor*)filter);
    EXPECT_EQ(eng.CallsOf(Slot::kConv).back().arrays[1], std::vector<int32_t>(8, 0));
}

TEST(ConvRouting, DepthwiseFallsBackToTheCpuWhenTheEngineDeclines)
{
    RecordingEngine eng({Slot::kTensorInit, Slot::kAlloc, Slot::kMapRo, Slot::kMapRw,
                         Slot::kMapWo, Slot::kUnmap, Slot::kConv});
    eng.SetResult(Slot::kConv, NN_ERROR_NOT_IMPLEMENTED);
    const Case dw = {"dw", {1, 7, 7, 4, 4, 3, 3, 1, 1, 2, 2, 2, 2, 2, 2}, Q::F32, true, 0, true, false};
    Built host = Build(dw, 5);
    Tensor in(NN_TYPE_F32, {1, 7, 7, 4}, eng.engine()), out(NN_TYPE_F32, {1, 7, 7, 4}, eng.engine());
    Tensor filter(NN_TYPE_F32, {3, 3, 1, 4}, eng.engine());
    in.Set(host.in.Get<float>());
    filter.Set(host.filter.Get<float>());
    const int32_t pad2[8] = {0, 0, 2, 2, 2, 2, 0, 0};
    ASSERT_EQ(nn_conv_ex(out, nullptr, in, filter, host.bias, kStrides, pad2, kDil2, 4, 0), 0);
    // The engine was offered the dilated filter, the CPU used the plain one.
    auto calls = eng.CallsOf(Slot::kConv);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].tensors[3], nn_tensor_aux_object_by_name(filter, "filter_aux_dilated"));
    host.out.Set(out.Get<float>());
    Compare(dw, Variant::DepthwiseTaps, host);
}

// A small cache keeps the accumulators on the heap: the cache stays untouched.
TEST(ConvRouting, DepthwiseAccumulatorsUseTheCacheOnlyWhenLargeEnough)
{
    const Case dw = {"dw u8", {1, 4, 4, 8, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::U8, true, 0, true, false};
    const size_t need = 4 * 4 * 8 * 4;
    for (size_t bytes : {need - 1, need}) {
        Built b = Build(dw, 6);
        Tensor cache(NN_TYPE_U8, {(int32_t)bytes});
        cache.Set(std::vector<uint8_t>(bytes, 0xab));
        ASSERT_EQ(nn_conv_ex(b.out, cache, b.in, b.filter, b.bias, kStrides, kPad1, kDil1, 8, 0), 0);
        Compare(dw, Variant::DepthwiseTaps, b);
        auto after = cache.Get<uint8_t>();
        bool untouched = after == std::vector<uint8_t>(bytes, 0xab);
        EXPECT_EQ(untouched, bytes < need) << bytes;
    }
}

// A panel built for one row count keeps its width when the rule would now
// choose another: the INT8 rule takes 8 for OW 12 (with column sums) and 'T'
// for OW 7.
TEST(ConvRouting, StoredPanelWidthIsUsedOnLaterCalls)
{
    const Case wide = {"ow12", {1, 3, 12, 17, 16, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8PC, true, 1, false, true};
    Built b = Build(wide, 8);
    Tensor cache(NN_TYPE_U8, {1 << 16});
    ASSERT_EQ(nn_conv_ex(b.out, cache, b.in, b.filter, b.bias, kStrides, kPad1, kDil1, 1, 1), 0);
    nn_tensor* panel = (nn_tensor*)nn_tensor_aux_object_by_name(b.filter, "filter_aux_panel");
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(nn_tensor_shape(panel)[3], 8);
    Compare(wide, Variant::Gemm, b);

    // Same filter, an input 7 wide: still the 8-wide panel and its float rule.
    Case narrow = wide;
    narrow.g.w = 7;
    Built n = Build(narrow, 8);
    std::swap(n.filter, b.filter);  // the filter with its panel, and its values
    n.o.qfilter = b.o.qfilter;
    ASSERT_EQ(nn_conv_ex(n.out, cache, n.in, n.filter, n.bias, kStrides, kPad1, kDil1, 1, 1), 0);
    EXPECT_EQ(nn_tensor_aux_object_by_name(n.filter, "filter_aux_panel"), panel);
    const Rule panel8 = Rule::FloatScale;
    Compare(narrow, Variant::Gemm, n, &panel8);
}

TEST(ConvRouting, IncompatiblePanelObjectGivesOne)
{
    Built b = Build(kF32, 9);
    Tensor cache(NN_TYPE_U8, {1 << 16});
    nn_tensor_set_aux_object_by_name(b.filter, "filter_aux_panel", std::malloc(16), free_aux_buffer,
                                     true, false);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nn_conv_ex(b.out, cache, b.in, b.filter, b.bias, kStrides, kPad1, kDil1, 1, 0),
              NN_ERROR_INTERNAL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "incompatible auxiliary object for conv2d\n");
    EXPECT_EQ(nn_tensor_mapped(b.out), 0);
    EXPECT_EQ(nn_tensor_mapped(b.filter), 0);
}

// Panel build failures on the filter's engine: message, the call's code, no
// object, the filter's shape restored; the next call builds it.
TEST(ConvRouting, FailedPanelBuildLeavesNoObjectAndIsRetried)
{
    RecordingEngine eng({Slot::kTensorInit, Slot::kAlloc, Slot::kMapRo, Slot::kMapRw,
                         Slot::kMapWo, Slot::kUnmap, Slot::kShuffle});
    Built host = Build(kF32, 10);
    Tensor filter(NN_TYPE_F32, {3, 3, 3, 8}, eng.engine());
    filter.Set(host.filter.Get<float>());
    Tensor cache(NN_TYPE_U8, {1 << 16});
    struct Step {
        Slot slot;
        int code;
        const char* message;
    } steps[] = {
        {Slot::kAlloc, NN_ERROR_OUT_OF_RESOURCES,
         "nn_conv_gemm failed to create auxiliary tensor for filter cache: "},
        {Slot::kShuffle, NN_ERROR_INVALID_AXIS,
         "nn_conv_gemm failed to shuffle auxiliary tensor for filter cache: "},
    };
    for (const Step& s : steps) {
        eng.SetResult(s.slot, s.code);
        testing::internal::CaptureStderr();
        EXPECT_EQ(nn_conv_ex(host.out, cache, host.in, filter, host.bias, kStrides, kPad1, kDil1,
                             1, 0),
                  s.code);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind(s.message, 0), 0u) << err;
        EXPECT_EQ(nn_tensor_aux_object_by_name(filter, "filter_aux_panel"), nullptr);
        EXPECT_EQ(nn_tensor_shape(filter)[0], 3);
        EXPECT_EQ(nn_tensor_shape(filter)[2], 3);
        EXPECT_EQ(nn_tensor_mapped(filter), 0);
        eng.SetResult(s.slot, 0);
    }
    // The shuffle slot of the engine does the repacking now: let the CPU do it.
    eng.Disable(Slot::kShuffle);
    ASSERT_EQ(nn_conv_ex(host.out, cache, host.in, filter, host.bias, kStrides, kPad1, kDil1, 1, 0), 0);
    EXPECT_NE(nn_tensor_aux_object_by_name(filter, "filter_aux_panel"), nullptr);
    Compare(kF32, Variant::Gemm, host);
}

TEST(ConvRouting, DilatedBuildFailures)
{
    RecordingEngine eng({Slot::kTensorInit, Slot::kAlloc, Slot::kMapRo, Slot::kMapRw,
                         Slot::kMapWo, Slot::kUnmap});
    Tensor out(NN_TYPE_F32, {1, 2, 2, 8}, eng.engine());
    Built host = Build(kF32, 11);
    eng.SetResult(Slot::kAlloc, NN_ERROR_OUT_OF_RESOURCES);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nn_conv_ex(out, nullptr, host.in, host.filter, nullptr, kStrides, kNoPad, kDil2, 1, 0),
              NN_ERROR_OUT_OF_RESOURCES);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "nn_conv_ex unable to alloc auxiliary dilated tensor ");
    EXPECT_EQ(nn_tensor_aux_object_by_name(host.filter, "filter_aux_dilated"), nullptr);
    eng.SetResult(Slot::kAlloc, 0);
    eng.SetTensorInitResult(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nn_conv_ex(out, nullptr, host.in, host.filter, nullptr, kStrides, kNoPad, kDil2, 1, 0),
              NN_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "nn_conv_ex unable to create auxiliary dilated tensor for filter: out of memory\n");
    EXPECT_EQ(nn_tensor_aux_object_by_name(host.filter, "filter_aux_dilated"), nullptr);
}

// Bad shapes and parameters are refused before anything is mapped.
TEST(ConvChecks, ShapesTypesAndParameters)
{
    struct Bad {
        const char* what;
        std::vector<int32_t> in, filter, out;
        int bias, groups, want;
    } cases[] = {
        {"batch", {1, 5, 5, 3}, {3, 3, 3, 8}, {2, 3, 3, 8}, 8, 1, NN_ERROR_SHAPE_MISMATCH},
        {"grouped filter", {1, 5, 5, 4}, {3, 3, 2, 8}, {1, 3, 3, 8}, 8, 2, NN_ERROR_SHAPE_MISMATCH},
        {"filter cout", {1, 5, 5, 3}, {3, 3, 3, 4}, {1, 3, 3, 8}, 8, 1, NN_ERROR_SHAPE_MISMATCH},
        {"short bias", {1, 5, 5, 3}, {3, 3, 3, 8}, {1, 3, 3, 8}, 7, 1, NN_ERROR_SHAPE_MISMATCH},
        {"depthwise filter", {1, 5, 5, 4}, {3, 3, 4, 4}, {1, 3, 3, 4}, 4, 4, NN_ERROR_SHAPE_MISMATCH},
        {"depthwise channels", {1, 5, 5, 4}, {3, 3, 1, 3}, {1, 3, 3, 3}, 4, 3, NN_ERROR_SHAPE_MISMATCH},
        {"channel multiplier", {1, 5, 5, 4}, {3, 3, 1, 8}, {1, 3, 3, 8}, 8, 8, NN_ERROR_NOT_IMPLEMENTED},
    };
    for (const Bad& c : cases) {
        SCOPED_TRACE(c.what);
        Tensor in(NN_TYPE_F32, c.in), f(NN_TYPE_F32, c.filter), out(NN_TYPE_F32, c.out);
        Tensor bias(NN_TYPE_F32, {c.bias});
        EXPECT_EQ(nn_conv_ex(out, nullptr, in, f, bias, kStrides, kNoPad, kDil1, c.groups, 0), c.want);
        Tensor cache(NN_TYPE_U8, {4096});
        EXPECT_EQ(nn_conv_ex(out, cache, in, f, bias, kStrides, kNoPad, kDil1, c.groups, 0), c.want);
        EXPECT_EQ(nn_tensor_mapped(out), 0);
    }
    Tensor in(NN_TYPE_F32, {1, 5, 5, 3}), f(NN_TYPE_F32, {3, 3, 3, 8}), out(NN_TYPE_F32, {1, 3, 3, 8});
    Tensor i8(NN_TYPE_I8, {1, 5, 5, 3});
    EXPECT_EQ(nn_conv(out, nullptr, i8, f, nullptr, kStrides, 1, 0), NN_ERROR_TYPE_MISMATCH);
    EXPECT_EQ(nn_conv(out, nullptr, in, f, nullptr, nullptr, 1, 0), NN_ERROR_INVALID_PARAMETER);
    const int32_t zero_stride[4] = {1, 0, 1, 1};
    EXPECT_EQ(nn_conv(out, nullptr, in, f, nullptr, zero_stride, 1, 0), NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nn_conv_ex(out, nullptr, in, f, nullptr, kStrides, nullptr, kDil1, 1, 0),
              NN_ERROR_INVALID_PARAMETER);
    const int32_t zero_dil[4] = {1, 0, 1, 1};
    EXPECT_EQ(nn_conv_ex(out, nullptr, in, f, nullptr, kStrides, kNoPad, zero_dil, 1, 0),
              NN_ERROR_INVALID_PARAMETER);

    // Strides or dilations so large that the window's coordinates would not
    // fit in 32 bits (a model file can store them): refused in every variant,
    // the output left alone.
    const int32_t huge_stride[4] = {1, 1 << 30, 1, 1};  // (3-1) * 2^30 + (3-1) passes INT32_MAX
    const int32_t huge_dil[4] = {1, 1, 1 << 30, 1};
    const int32_t just_stride[4] = {1, 1, (INT32_MAX - 3) / 2, 1};  // (3-1)*s + (3-1) = INT32_MAX - 1
    Tensor cache(NN_TYPE_U8, {1 << 16});
    for (nn_tensor* c : {(nn_tensor*)nullptr, cache.t}) {
        EXPECT_EQ(nn_conv(out, c, in, f, nullptr, huge_stride, 1, 0), NN_ERROR_INVALID_PARAMETER);
        EXPECT_EQ(nn_conv_ex(out, c, in, f, nullptr, huge_stride, kNoPad, kDil1, 1, 0),
                  NN_ERROR_INVALID_PARAMETER);
        EXPECT_EQ(nn_conv_ex(out, c, in, f, nullptr, kStrides, kNoPad, huge_dil, 1, 0),
                  NN_ERROR_INVALID_PARAMETER);
        // The largest reach that fits runs: every tap but the first row's is outside.
        EXPECT_EQ(nn_conv_ex(out, c, in, f, nullptr, just_stride, kNoPad, kDil1, 1, 0), 0);
    }
    // A dilated window larger than the padded input: 3 taps with dilation 3
    // span 7 rows of a 5-row input; with one row of padding on each side it
    // fits.
    const int32_t dil3[4] = {1, 3, 3, 1};
    const int32_t pad1[8] = {0, 0, 1, 1, 1, 1, 0, 0};
    for (nn_tensor* c : {(nn_tensor*)nullptr, cache.t}) {
        EXPECT_EQ(nn_conv_ex(out, c, in, f, nullptr, kStrides, kNoPad, dil3, 1, 0),
                  NN_ERROR_INVALID_PARAMETER);
        EXPECT_EQ(nn_conv_ex(out, c, in, f, nullptr, kStrides, pad1, dil3, 1, 0), 0);
    }
    Tensor dw_in(NN_TYPE_F32, {1, 5, 5, 4}), dw_f(NN_TYPE_F32, {3, 3, 1, 4}), dw_out(NN_TYPE_F32, {1, 3, 3, 4});
    EXPECT_EQ(nn_conv_ex(dw_out, nullptr, dw_in, dw_f, nullptr, kStrides, kNoPad, dil3, 4, 0),
              NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nn_conv_ex(dw_out, nullptr, dw_in, dw_f, nullptr, huge_stride, kNoPad, kDil1, 4, 0),
              NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nn_conv_ex(dw_out, nullptr, dw_in, dw_f, nullptr, kStrides, kNoPad, huge_dil, 4, 0),
              NN_ERROR_INVALID_PARAMETER);
    Tensor t_in(NN_TYPE_F32, {1, 3, 3, 8}), t_f(NN_TYPE_F32, {3, 3, 3, 8}), t_out(NN_TYPE_F32, {1, 5, 5, 3});
    EXPECT_EQ(nn_transpose_conv2d_ex(t_out, nullptr, t_in, t_f, nullptr, huge_stride, kNoPad, 0),
              NN_ERROR_INVALID_PARAMETER);
}

// An input that cannot be mapped gives 14 in every variant, with the output
// and filter given back.
TEST(ConvChecks, UnmappableInputGivesFourteen)
{
    RecordingEngine eng({Slot::kTensorInit, Slot::kAlloc, Slot::kMapRo, Slot::kMapRw,
                         Slot::kMapWo, Slot::kUnmap});
    struct V {
        const char* what;
        Case c;
        bool cache;
    } cases[] = {
        {"1x1", {"", {1, 4, 4, 3, 8, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1}, Q::F32, true, 0, false, false}, false},
        {"gemm", kF32, true},
        {"direct", kF32, false},
        {"depthwise", {"", {1, 5, 5, 4, 4, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, true, 0, true, false}, false},
        {"depthwise quantised", {"", {1, 5, 5, 4, 4, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8, true, 0, true, false}, false},
    };
    for (const V& v : cases) {
        SCOPED_TRACE(v.what);
        Built b = Build(v.c, 12);
        const Geom& g = v.c.g;
        Tensor in(TypeOf(v.c.q), {g.n, g.h, g.w, g.cin}, eng.engine());
        eng.SetMapResult(Slot::kMapRo, nullptr);
        Tensor cache(NN_TYPE_U8, {1 << 16});
        const int32_t pad[8] = {0, 0, g.top, g.bottom, g.left, g.right, 0, 0};
        EXPECT_EQ(nn_conv_ex(b.out, v.cache ? (nn_tensor*)cache : nullptr, in, b.filter, b.bias,
                             kStrides, pad, kDil1, v.c.depthwise ? g.cout : 1, 0),
                  NN_ERROR_TENSOR_NO_DATA);
        eng.ClearMapResult(Slot::kMapRo);
        EXPECT_EQ(nn_tensor_mapped(b.out), 0);
        EXPECT_EQ(nn_tensor_mapped(b.filter), 0);
        EXPECT_EQ(nn_tensor_mapped(b.bias), 0);
        EXPECT_EQ(nn_tensor_mapped(cache), 0);
    }
}

// Pre-packed filters: the GEMM reads the panels, the direct and dilated paths
// an unpacked copy; panel sizes the GEMM cannot take give 5.
TEST(ConvPacked, PackedFiltersInEveryPath)
{
    for (int dil : {1, 2}) {
        Case c = kF32;
        c.g.dh = c.g.dw = dil;
        c.g.top = c.g.bottom = c.g.left = c.g.right = dil;
        for (bool with_cache : {true, false}) {
            SCOPED_TRACE(std::to_string(dil) + (with_cache ? " gemm" : " direct"));
            Built b = Build(c, 13);
            // Repack [K, 8] into panels of 4: panel p, row k, lane l.
            auto f = b.filter.Get<float>();
            std::vector<float> packed(f.size());
            const int K = 27, N = 8, w = 4;
            for (int co = 0; co < N; ++co)
                for (int k = 0; k < K; ++k)
                    packed[(size_t)(co / w) * K * w + (size_t)k * w + co % w] = f[(size_t)k * N + co];
            b.filter.Set(packed);
            nn_tensor_set_panel_size(b.filter, 4);
            Tensor cache(NN_TYPE_U8, {1 << 16});
            const int32_t pad[8] = {0, 0, dil, dil, dil, dil, 0, 0};
            const int32_t dils[4] = {1, dil, dil, 1};
            ASSERT_EQ(nn_conv_ex(b.out, with_cache ? (nn_tensor*)cache : nullptr, b.in, b.filter,
                                 b.bias, kStrides, pad, dils, 1, 0),
                      0);
            Compare(c, with_cache ? Variant::Gemm : Variant::Direct, b);
            EXPECT_EQ(nn_tensor_aux_object_by_name(b.filter, "filter_aux_unpacked") != nullptr,
                      dil > 1 || !with_cache);
        }
    }
    struct BadPanel {
        Q q;
        uint32_t panel;
    } bad[] = {{Q::F32, 2}, {Q::F32, 16}, {Q::I8PC, 4}, {Q::U8, 8}};
    for (const BadPanel& p : bad) {
        SCOPED_TRACE(p.panel);
        Case c = kF32;  // Cout 8: 16 does not divide it
        c.q = p.q;
        Built b = Build(c, 14);
        nn_tensor_set_panel_size(b.filter, p.panel);
        Tensor cache(NN_TYPE_U8, {1 << 16});
        EXPECT_EQ(nn_conv_ex(b.out, cache, b.in, b.filter, b.bias, kStrides, kPad1, kDil1, 1, 0),
                  NN_ERROR_NOT_IMPLEMENTED);
    }
}

// Transposed convolution: every batch image, flipped taps, bias, activation.
TEST(ConvTransposed, EveryBatchAgainstTheReference)
{
    struct T {
        int n, h, w, cin, cout, kh, kw, sh, sw, top, left, oh, ow, act;
        bool bias;
    } cases[] = {
        {2, 3, 4, 3, 5, 3, 3, 2, 2, 1, 1, 6, 8, 1, true},
        {1, 4, 2, 2, 4, 2, 3, 1, 2, 0, 1, 5, 4, 3, false},
        {2, 2, 2, 1, 3, 3, 3, 2, 2, 0, 0, 5, 5, 5, true},
    };
    std::mt19937 rng(15);
    std::uniform_real_distribution<float> u(-1, 1);
    for (const T& c : cases) {
        Tensor in(NN_TYPE_F32, {c.n, c.h, c.w, c.cin}), f(NN_TYPE_F32, {c.kh, c.kw, c.cin, c.cout});
        Tensor out(NN_TYPE_F32, {c.n, c.oh, c.ow, c.cout}), bias(NN_TYPE_F32, {c.cout});
        std::vector<float> vi((size_t)c.n * c.h * c.w * c.cin), vf((size_t)c.kh * c.kw * c.cin * c.cout),
            vb((size_t)c.cout);
        for (auto& v : vi) v = u(rng);
        for (auto& v : vf) v = u(rng);
        for (auto& v : vb) v = u(rng);
        in.Set(vi);
        f.Set(vf);
        bias.Set(vb);
        const int32_t strides[4] = {1, c.sh, c.sw, 1};
        const int32_t pad[8] = {0, 0, c.top, 0, c.left, 0, 0, 0};
        ASSERT_EQ(nn_transpose_conv2d_ex(out, nullptr, in, f, c.bias ? (nn_tensor*)bias : nullptr,
                                         strides, pad, c.act),
                  0);
        std::vector<double> want((size_t)c.n * c.oh * c.ow * c.cout, 0.0), mag(want.size(), 0.0);
        for (int n = 0; n < c.n; ++n)
            for (int iy = 0; iy < c.h; ++iy)
                for (int ix = 0; ix < c.w; ++ix)
                    for (int ci = 0; ci < c.cin; ++ci)
                        for (int r = 0; r < c.kh; ++r)
                            for (int s = 0; s < c.kw; ++s) {
                                int oy = iy * c.sh - c.top + r, ox = ix * c.sw - c.left + s;
                                if (oy < 0 || oy >= c.oh || ox < 0 || ox >= c.ow)
                                    continue;
                                for (int co = 0; co < c.cout; ++co) {
                                    double t = (double)vi[(((size_t)n * c.h + iy) * c.w + ix) * c.cin + ci] *
                                               vf[(((size_t)(c.kh - 1 - r) * c.kw + (c.kw - 1 - s)) * c.cin + ci) * c.cout + co];
                                    size_t o = (((size_t)n * c.oh + oy) * c.ow + ox) * c.cout + co;
                                    want[o] += t;
                                    mag[o] += std::fabs(t);
                                }
                            }
        auto got = out.Get<float>();
        // Activations 1-3 only.
        int act = c.act <= 3 ? c.act : 0;
        for (size_t i = 0; i < got.size(); ++i) {
            double b = c.bias ? vb[i % (size_t)c.cout] : 0.0;
            double w = RefActivation(want[i] + b, act);
            EXPECT_NEAR(got[i], w, 1e-5 * (mag[i] + std::fabs(b)) + 1e-6) << i;
        }
        EXPECT_GT(nn_tensor_time(out), 0);
    }
}

}  // namespace
