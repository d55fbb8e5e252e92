// Greedy suppression in its three variants and the all-in-one wrappers with
// their state on the output tensor.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "postproc_util.h"
#include "recording_engine.h"

namespace {

using kestrune::test::F32;
using kestrune::test::I32;
using kestrune::test::RecordingEngine;
using kestrune::test::Slot;

enum Variant { kV1, kV2, kV3 };

struct NmsCase {
    const char* what;
    Variant variant;
    int32_t nb;
    std::vector<float> boxes;     // v1/v3: [rows, nb, 4]; v2: [1, nb, 4]
    std::vector<int32_t> indices; // v2 only: [rows, nb]
    std::vector<int32_t> counts;
    float iou;
    int32_t scale;                // the image's shape[1] (v1, v2)
    std::vector<int32_t> expected_counts; // -1: not written
    std::vector<float> expected_rows;     // rows * nb * 4; -1 where not written
};

// Unwritten entries of the expectations.
const float U = -1.0f;

const NmsCase kNmsCases[] = {
    {"IoU equal to the threshold suppresses (0.5 with +1 widths)", kV1, 2,
     {0, 0, 9, 9, 0, 0, 9, 4}, {}, {2}, 0.5f, 1, {1}, {0, 0, 9, 9, U, U, U, U}},
    {"IoU just below the threshold is kept", kV1, 2,
     {0, 0, 9, 9, 0, 0, 9, 4}, {}, {2}, 0.5001f, 1, {2}, {0, 0, 9, 9, 0, 0, 9, 4}},
    {"disjoint boxes are kept", kV1, 2,
     {0, 0, 9, 9, 20, 20, 29, 29}, {}, {2}, 0.01f, 1, {2}, {0, 0, 9, 9, 20, 20, 29, 29}},
    {"scale applied before areas: IoU 0.5 scaled, 0.545 unscaled", kV1, 2,
     {0, 0, 4.5f, 4.5f, 0, 0, 4.5f, 2}, {}, {2}, 0.52f, 2, {2}, {0, 0, 9, 9, 0, 0, 9, 4}},
    {"greedy: a box suppressed by the best cannot suppress another", kV1, 3,
     {0, 0, 9, 9, 0, 5, 9, 14, 0, 10, 9, 19}, {}, {3}, 0.3f, 1, {2},
     {0, 0, 9, 9, 0, 10, 9, 19, U, U, U, U}},
    {"e = 1: touching boxes overlap by one unit (IoU 1/3)", kV1, 2,
     {0, 0, 1, 1, 1, 0, 2, 1}, {}, {2}, 0.3f, 1, {1}, {0, 0, 1, 1, U, U, U, U}},
    {"e = 0.001: the same touching boxes hardly overlap", kV3, 2,
     {0, 0, 1, 1, 1, 0, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0}, {}, {2, 2}, 0.3f, 0, {2, -1},
     {0, 0, 1, 1, 1, 0, 2, 1, U, U, U, U, U, U, U, U}},
    {"v3: a single row is not processed", kV3, 2,
     {0, 0, 1, 1, 5, 5, 6, 6}, {}, {2}, 0.5f, 0, {-1}, {U, U, U, U, U, U, U, U}},
    {"v3: every row but the last, which keeps its count", kV3, 1,
     {0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5}, {}, {1, 1, 1}, 0.5f, 0, {1, 1, -1},
     {0, 0, 1, 1, 2, 2, 3, 3, U, U, U, U}},
    {"v2: candidates through the indices, corners (b1, b0, b3, b2), scaled, bad index skipped",
     kV2, 3, {0.1f, 0.2f, 0.3f, 0.4f, 0, 0, 0.9f, 0.9f, 7, 7, 7, 7}, {1, 5, 0, 0, 0, 0},
     {3, 0}, 0.5f, 10, {2, 0},
     {0, 0, 9, 9, 2, 1, 4, 3, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U}},
    {"threshold 1.5 ends with every candidate once", kV3, 3,
     {0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, {3, 0}, 1.5f,
     0, {3, -1}, {0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1, 1, U, U, U, U, U, U, U, U, U, U, U, U}},
    {"threshold 1.5 with +1 widths", kV1, 2,
     {3, 3, 4, 4, 3, 3, 4, 4}, {}, {2}, 1.5f, 1, {2}, {3, 3, 4, 4, 3, 3, 4, 4}},
    {"an inverted box ends after itself", kV3, 2,
     {10, 10, 0, 0, 10, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, {2, 0}, 0.5f, 0, {2, -1},
     {10, 10, 0, 0, 10, 10, 0, 0, U, U, U, U, U, U, U, U}},
    {"an inverted box with +1 widths", kV1, 1, {10, 10, 0, 0}, {}, {1}, 0.5f, 1, {1},
     {10, 10, 0, 0}},
};

int RunNms(Variant v, nn_tensor* boxes, nn_tensor* indices, nn_tensor* counts, nn_tensor* iou,
           nn_tensor* image, nn_tensor* cache, nn_tensor* out, nn_tensor* out_counts)
{
    switch (v) {
    case kV1:
        return nn_ssd_nms_standard(boxes, counts, iou, image, cache, out, out_counts);
    case kV2:
        return nn_ssd_nms_standardv2(boxes, indices, counts, iou, image, cache, out, out_counts);
    default:
        return nn_ssd_nms_standardv3(boxes, counts, iou, cache, out, out_counts);
    }
}

TEST(Nms, CaseTable)
{
    for (const NmsCase& c : kNmsCases) {
        SCOPED_TRACE(c.what);
        int32_t rows = static_cast<int32_t>(c.counts.size());
        F32 boxes(c.variant == kV2 ? std::vector<int32_t>{1, c.nb, 4}
                                   : std::vector<int32_t>{rows, c.nb, 4},
                  c.boxes);
        I32 indices({rows, c.nb}, c.indices);
        I32 counts({rows}, c.counts);
        F32 iou({1}, {c.iou});
        F32 image({1, c.scale > 0 ? c.scale : 1, 1, 1});
        F32 cache({10 * c.nb});
        F32 out({rows, c.nb, 4}, {}, U);
        I32 out_counts({rows}, {}, -1);
        ASSERT_EQ(RunNms(c.variant, boxes, indices, counts, iou, image, cache, out, out_counts), 0);
        EXPECT_EQ(out_counts.values(), c.expected_counts);
        std::vector<float> got = out.values();
        ASSERT_EQ(got.size(), c.expected_rows.size());
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_FLOAT_EQ(got[i], c.expected_rows[i]) << i;
        EXPECT_TRUE(out.GuardIntact() && out_counts.GuardIntact());
        for (nn_tensor* t : {boxes.t(), indices.t(), counts.t(), iou.t(), image.t(), cache.t(),
                             out.t(), out_counts.t()})
            EXPECT_EQ(nn_tensor_mapped(t), 0);
    }
}

TEST(Nms, Failures)
{
    struct Case {
        const char* what;
        Variant variant;
        std::vector<int32_t> counts;
        int32_t cache_floats;
        int32_t out_rows;
        bool image;
        int expected;
    };
    const int32_t nb = 2;
    const Case cases[] = {
        {"count above NB", kV1, {nb + 1, 0}, 10 * nb, 2, true, NN_ERROR_INTERNAL},
        {"negative count", kV2, {1, -1}, 10 * nb, 2, true, NN_ERROR_INTERNAL},
        {"cache one float short of 40 NB bytes", kV3, {1, 1}, 10 * nb - 1, 2, true,
         NN_ERROR_OUT_OF_RESOURCES},
        {"out rows short of the second class", kV1, {1, 1}, 10 * nb, 1, true,
         NN_ERROR_INVALID_SHAPE},
        {"v3 needs no row for the last class", kV3, {1, 1}, 10 * nb, 1, true, NN_SUCCESS},
        {"missing image", kV1, {1, 1}, 10 * nb, 2, false, NN_ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        F32 boxes({2, nb, 4}, {0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7});
        I32 indices({2, nb}, {0, 1, 1, 0});
        I32 counts({2}, c.counts);
        F32 iou({1}, {0.5f});
        F32 image({1, 1});
        F32 cache({c.cache_floats});
        F32 out({c.out_rows, nb, 4}, {}, U);
        I32 out_counts({2}, {}, -1);
        EXPECT_EQ(RunNms(c.variant, boxes, indices, counts, iou, c.image ? image.t() : nullptr,
                         cache, out, out_counts),
                  c.expected);
        if (c.expected != NN_SUCCESS) {
            EXPECT_EQ(out_counts.values(), (std::vector<int32_t>{-1, -1}));
            for (float v : out.values())
                EXPECT_EQ(v, U);
        }
        EXPECT_TRUE(out.GuardIntact());
        for (nn_tensor* t : {boxes.t(), counts.t(), iou.t(), cache.t(), out.t(), out_counts.t()})
            EXPECT_EQ(nn_tensor_mapped(t), 0);
    }
}

TEST(Nms, UnmappableTensors)
{
    RecordingEngine eng({Slot::kTensorInit, Slot::kAssign, Slot::kMapRo, Slot::kMapRw,
                         Slot::kUnmap});
    eng.SetMapResult(Slot::kMapRo, nullptr);
    eng.SetMapResult(Slot::kMapRw, nullptr);
    const int32_t nb = 2;
    for (int arg = 0; arg < 7; ++arg) {
        SCOPED_TRACE(arg);
        F32 boxes({1, nb, 4}, {0, 0, 1, 1, 2, 2, 3, 3});
        I32 indices({1, nb}, {0, 1});
        I32 counts({1}, {2});
        F32 iou({1}, {0.5f});
        F32 image({1, 1});
        F32 cache({10 * nb});
        F32 out({1, nb, 4});
        I32 out_counts({1}, {}, -1);
        std::vector<nn_tensor*> args = {boxes, indices, counts, iou, cache, out, out_counts};
        std::vector<float> dummy(16);
        unsigned char rec[152];
        nn_tensor* bad = nn_tensor_init(rec, eng.engine());
        nn_tensor* orig = args[arg];
        nn_tensor_assign(bad, nn_tensor_type(orig), nn_tensor_dims(orig), nn_tensor_shape(orig),
                         dummy.data());
        args[arg] = bad;
        EXPECT_EQ(nn_ssd_nms_standardv2(args[0], args[1], args[2], args[3], image, args[4],
                                        args[5], args[6]),
                  NN_ERROR_TENSOR_NO_DATA);
        for (nn_tensor* t : args)
            EXPECT_EQ(nn_tensor_mapped(t), 0);
        EXPECT_EQ(out_counts[0], -1);
        nn_tensor_release(bad);
    }
}

// ---- Wrappers -------------------------------------------------------------

template <typename E> std::vector<E> State(nn_tensor* out, const char* name, size_t n)
{
    const E* p = static_cast<const E*>(nn_tensor_aux_object_by_name(out, name));
    if (!p)
        return {};
    return std::vector<E>(p, p + n);
}

void ExpectStateNames(nn_tensor* out, const std::vector<std::string>& present)
{
    const char* all[] = {"data_class_id", "data_score_threshold", "data_iou_threshold",
                         "data_max_id",   "data_indices",         "data_indices_len",
                         "data_score_out", "bbx_candidate",       "scores_candidate"};
    for (const char* name : all) {
        bool want = false;
        for (const std::string& p : present)
            want = want || p == name;
        EXPECT_EQ(nn_tensor_aux_object_by_name(out, name) != nullptr, want) << name;
    }
}

TEST(NmsWrappers, NmsDefaultsAndValuesFixedByTheFirstCall)
{
    const int32_t nb = 2, nc = 3;
    // Box b, class c at b * nc + c.  Class list rows: class 1, class 2, class 0.
    F32 scores({1, nb, nc}, {0.05f, 0.5f, 0.2f, 0.9f, 0.08f, 0.3f});
    // Row j holds the boxes of class-list entry j in selection order.
    F32 boxes({nc, nb, 4}, {0, 0, 1, 1, 9, 9, 9, 9,     // class 1: box 0
                            5, 5, 6, 6, 0, 0, 1, 1,     // class 2: box 1, box 0 (disjoint)
                            0, 0, 1, 1, 0, 0, 1, 1});   // class 0: skipped
    F32 out({nc, nb, 4}, {}, U);
    I32 out_counts({nc}, {}, -1);
    // Threshold 0 means 0.1 (0.08 not selected), IoU 0 means 0.75 (disjoint
    // boxes survive), K 0 means 50.
    ASSERT_EQ(nn_nms(boxes, scores, nullptr, 0, out, out_counts, 0.0f, 0.0f), 0);
    EXPECT_EQ(out_counts.values(), (std::vector<int32_t>{1, 2, -1}));
    const std::vector<float> want = {0, 0, 1, 1, U, U, U, U, 5, 5, 6, 6, 0, 0, 1, 1,
                                     U, U, U, U, U, U, U, U};
    EXPECT_EQ(out.values(), want);
    EXPECT_EQ(State<int32_t>(out, "data_class_id", nc), (std::vector<int32_t>{1, 2, 0}));
    EXPECT_EQ(State<float>(out, "data_score_threshold", nc),
              (std::vector<float>{0.1f, 0.1f, 0.1f}));
    EXPECT_EQ(State<float>(out, "data_iou_threshold", 1), (std::vector<float>{0.75f}));
    EXPECT_EQ(State<int32_t>(out, "data_max_id", 1), (std::vector<int32_t>{50}));
    // Class 0's selection (box 1) is counted though its row is not suppressed.
    EXPECT_EQ(State<int32_t>(out, "data_indices_len", nc), (std::vector<int32_t>{1, 2, 1}));
    ExpectStateNames(out, {"data_class_id", "data_score_threshold", "data_iou_threshold",
                           "data_max_id", "data_indices", "data_indices_len"});

    // A second call with another threshold, IoU and K keeps the first values.
    ASSERT_EQ(nn_nms(boxes, scores, nullptr, 1, out, out_counts, 0.01f, 0.01f), 0);
    EXPECT_EQ(out_counts.values(), (std::vector<int32_t>{1, 2, -1}));
    EXPECT_EQ(State<float>(out, "data_score_threshold", nc),
              (std::vector<float>{0.1f, 0.1f, 0.1f}));

    // Scores of another NC or NB than the stored state's are refused.
    F32 wider({1, nb, nc + 1});
    F32 longer({1, nb + 1, nc});
    EXPECT_EQ(nn_nms(boxes, wider, nullptr, 0, out, out_counts, 0, 0), NN_ERROR_SHAPE_MISMATCH);
    EXPECT_EQ(nn_nms(boxes, longer, nullptr, 0, out, out_counts, 0, 0), NN_ERROR_SHAPE_MISMATCH);
    EXPECT_TRUE(out.GuardIntact() && out_counts.GuardIntact());
}

TEST(NmsWrappers, ExplicitValuesAreStored)
{
    const int32_t nb = 3, nc = 2;
    F32 scores({1, nb, nc}, {0.1f, 0.9f, 0.2f, 0.8f, 0.3f, 0.7f});
    F32 boxes({1, nb, 4}, {0, 0, 1, 1, 5, 5, 6, 6, 10, 10, 11, 11});
    F32 image({1, 1});
    F32 out({nc, nb, 4});
    I32 out_counts({nc});
    // K 2 examines two boxes per class; threshold 0.75 keeps class 1's 0.9 and 0.8.
    ASSERT_EQ(nn_ssd_nms_full(image, boxes, scores, nullptr, 2, out, out_counts, 0.75f, 0.3f), 0);
    EXPECT_EQ(State<float>(out, "data_iou_threshold", 1), (std::vector<float>{0.3f}));
    EXPECT_EQ(State<int32_t>(out, "data_max_id", 1), (std::vector<int32_t>{2}));
    EXPECT_EQ(out_counts.values(), (std::vector<int32_t>{2, 0}));
}

TEST(NmsWrappers, FullSuppressesThroughIndicesScaledAndReordered)
{
    const int32_t nb = 2, nc = 2;  // class list: 1, 0
    F32 image({1, 10, 10, 3});
    F32 boxes({1, nb, 4}, {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f});
    F32 scores({1, nb, nc}, {0.3f, 0.6f, 0.7f, 0.2f});
    F32 out({nc, nb, 4}, {}, U);
    I32 out_counts({nc}, {}, -1);
    ASSERT_EQ(nn_ssd_nms_full(image, boxes, scores, nullptr, 0, out, out_counts, 0.25f, 0.5f), 0);
    // Row 0 (class 1): box 0; row 1 (class 0, processed by this variant): box 1, box 0.
    EXPECT_EQ(out_counts.values(), (std::vector<int32_t>{1, 2}));
    const float want[] = {2, 1, 4, 3, U, U, U, U, 6, 5, 8, 7, 2, 1, 4, 3};
    for (int i = 0; i < 16; ++i)
        EXPECT_FLOAT_EQ(out[i], want[i]) << i;
    EXPECT_TRUE(out.GuardIntact());
}

TEST(NmsWrappers, DecodeStandardChain)
{
    const int32_t nb = 3, nc = 2;  // class list: 1, then 0 (last row, not suppressed)
    F32 scores({1, nb, nc, 1}, {0.2f, 0.9f, 0.3f, 0.8f, 0.4f, 0.05f});
    // Zero encodings decode to the anchors themselves.
    F32 encodings({1, nb, 1, 4});
    F32 anchors({nb, 4}, {0, 0, 1, 1, 0, 0, 1, 1.1f, 4, 4, 5, 5});
    F32 cache({20 * nb});
    F32 out({nc, nb, 4}, {}, U);
    I32 out_counts({nc}, {}, -1);
    ASSERT_EQ(nn_ssd_decode_nms_standard_bbx(scores, encodings, anchors, cache, 0, out, out_counts,
                                             0.5f, 0.5f),
              0);
    // Class 1 selects boxes 0 and 1 (0.9, 0.8), which overlap by about 0.9.
    EXPECT_EQ(out_counts.values(), (std::vector<int32_t>{1, -1}));
    const float want[] = {0, 0, 1, 1};
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(out[i], want[i], 1e-6) << i;
    EXPECT_EQ(out[4], U);
    EXPECT_EQ(State<float>(out, "data_score_out", 2), (std::vector<float>{0.9f, 0.8f}));
    std::vector<float> cand = State<float>(out, "bbx_candidate", 8);
    const float want_cand[] = {0, 0, 1, 1, 0, 0, 1, 1.1f};
    for (int i = 0; i < 8; ++i)
        EXPECT_NEAR(cand[i], want_cand[i], 1e-6) << i;
    ExpectStateNames(out, {"data_class_id", "data_score_threshold", "data_iou_threshold",
                           "data_max_id", "data_indices", "data_indices_len", "data_score_out",
                           "bbx_candidate"});

    F32 small_cache({20 * nb - 1});
    EXPECT_EQ(nn_ssd_decode_nms_standard_bbx(scores, encodings, anchors, small_cache, 0, out,
                                             out_counts, 0.5f, 0.5f),
              NN_ERROR_OUT_OF_RESOURCES);
}

TEST(NmsWrappers, VarianceWrapperIsRepeatableAndReportsEveryRealClass)
{
    const int32_t nb = 3, nc = 3;  // column 0 background, classes 1 and 2
    // Logits then four offsets per box; the background logit is the highest.
    F32 raw({1, nb, nc + 4}, {9, 2, -9, 0, 0, 0, 0,
                              9, -9, 3, 0, 0, 0, 0,
                              9, 1, -9, 0, 0, 0, 0});
    // Centre y, centre x, size y, size x.
    F32 anchors({nb, 4}, {1, 1, 2, 2, 5, 5, 2, 2, 10, 10, 2, 2});
    F32 cache({10 * nb});
    F32 out({nc, nb, 4}, {}, U);
    I32 out_counts({nc}, {}, -1);
    const std::vector<float> want = {U, U, U, U, U, U, U, U, U, U, U, U,  // background: nothing
                                     0, 0, 2, 2, 9, 9, 11, 11, U, U, U, U, // class 1: boxes 0, 2
                                     4, 4, 6, 6, U, U, U, U, U, U, U, U};  // class 2: box 1
    for (int call = 0; call < 3; ++call) {
        SCOPED_TRACE(call);
        ASSERT_EQ(nn_ssd_decode_nms_variance_bbx(raw, anchors, cache, 10, out, out_counts, 0.5f,
                                                 0.5f),
                  0);
        EXPECT_EQ(out_counts.values(), (std::vector<int32_t>{0, 2, 1}));
        std::vector<float> got = out.values();
        for (size_t i = 0; i < want.size(); ++i)
            EXPECT_NEAR(got[i], want[i], 1e-6) << i;
    }
    // Max K and the score threshold are used as given, without defaults: K 1
    // keeps one box per class, K 0 none.
    for (int32_t k : {1, 0}) {
        F32 out2({nc, nb, 4}, {}, U);
        I32 counts2({nc});
        ASSERT_EQ(nn_ssd_decode_nms_variance_bbx(raw, anchors, cache, k, out2, counts2, 0.5f, 0.5f),
                  0);
        EXPECT_EQ(counts2.values(), (std::vector<int32_t>{0, k, k}));
    }
    ExpectStateNames(out, {"data_class_id", "data_iou_threshold", "data_indices_len",
                           "data_score_out", "bbx_candidate", "scores_candidate"});

    F32 small_cache({6 * nb - 1});  // below the 24 NB bytes of the selection
    EXPECT_EQ(nn_ssd_decode_nms_variance_bbx(raw, anchors, small_cache, 0, out, out_counts, 0.5f,
                                             0.5f),
              NN_ERROR_OUT_OF_RESOURCES);
    F32 mid_cache({6 * nb});  // enough for the selection, short of the suppression's 40 NB
    EXPECT_EQ(nn_ssd_decode_nms_variance_bbx(raw, anchors, mid_cache, 0, out, out_counts, 0.5f,
                                             0.5f),
              NN_ERROR_OUT_OF_RESOURCES);
}

TEST(NmsWrappers, StateDiesWithTheOutputTensor)
{
    // Run under the sanitizers' leak check: every wrapper's arrays are freed by release.
    const int32_t nb = 2, nc = 2;
    F32 scores({1, nb, nc}, {0.5f, 0.5f, 0.5f, 0.5f});
    F32 boxes({nc, nb, 4});
    nn_tensor* out = nn_tensor_init(nullptr, nullptr);
    ASSERT_EQ(nn_tensor_alloc(out, NN_TYPE_F32, 3, std::vector<int32_t>{nc, nb, 4}.data()), 0);
    I32 out_counts({nc});
    ASSERT_EQ(nn_nms(boxes, scores, nullptr, 0, out, out_counts, 0, 0), 0);
    F32 raw({1, nb, nc + 4});
    F32 anchors({nb, 4});
    F32 cache({10 * nb});
    // Another wrapper on the same output adds its missing arrays.
    ASSERT_EQ(nn_ssd_decode_nms_variance_bbx(raw, anchors, cache, 0, out, out_counts, 0.5f, 0), 0);
    EXPECT_NE(nn_tensor_aux_object_by_name(out, "scores_candidate"), nullptr);
    nn_tensor_release(out);
}

}  // namespace
