// SSD score selection (tensor and array forms), box decoding and the
// variance decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "kestrune/nn.h"
#include "postproc/postproc_internal.h"
#include "postproc_util.h"
#include "recording_engine.h"

namespace {

using kestrune::test::F32;
using kestrune::test::Host;
using kestrune::test::I32;
using kestrune::test::RecordingEngine;
using kestrune::test::Slot;

constexpr int32_t kNB = 5, kNC = 3;
// Score of box b for class column c at b * kNC + c.
const std::vector<float> kScores = {
    0.9f, 0.1f, 0.5f,  // box 0
    0.2f, 0.5f, 0.5f,  // box 1
    0.7f, 0.5f, 0.3f,  // box 2
    0.4f, 0.8f, 0.5f,  // box 3
    0.3f, 0.5f, 0.6f,  // box 4
};

struct SelectCase {
    const char* what;
    std::vector<int32_t> classes;
    std::vector<float> thresholds;
    int32_t k;
    std::vector<std::vector<int32_t>> expected;  // per processed class, best first
};

const SelectCase kSelectCases[] = {
    {"score equal to its threshold is not selected", {0}, {0.3f}, 5, {{0, 2, 3}}},
    {"K below NB examines the best K", {0}, {0.3f}, 2, {{0, 2}}},
    {"K above NB examines NB", {0}, {0.3f}, 10, {{0, 2, 3}}},
    {"K of 0 selects nothing", {0, 1}, {0.0f, 0.0f}, 0, {{}, {}}},
    {"K of -1 selects nothing", {0, 1}, {0.0f, 0.0f}, -1, {{}, {}}},
    {"equal scores: higher index first", {1}, {0.0f}, 5, {{3, 4, 2, 1, 0}}},
    {"class list order and per-class thresholds", {2, 0}, {0.45f, 0.8f}, 5, {{4, 3, 1, 0}, {0}}},
    {"K cuts through a run of equal scores", {1}, {0.0f}, 3, {{3, 4, 2}}},
};

// Runs one of the three tensor selections; v0 also fills `selected`.
int Select(int variant, F32& scores, nn_tensor* cache, I32& ids, F32& thr, I32& k, I32& idx,
           I32& counts, F32* selected)
{
    switch (variant) {
    case 0:
        return nn_ssd_sort_scoresv0(scores, cache, ids, thr, k, idx, counts, selected->t());
    case 1:
        return nn_ssd_sort_scores(scores, cache, ids, thr, k, idx, counts);
    default:
        return nn_ssd_sort_scoresv2(scores, cache, ids, thr, k, idx, counts);
    }
}

TEST(SsdSelect, CaseTableOverTheThreeVariants)
{
    for (int variant = 0; variant < 3; ++variant) {
        for (const SelectCase& c : kSelectCases) {
            SCOPED_TRACE(c.what);
            SCOPED_TRACE(variant);
            int32_t m = static_cast<int32_t>(c.classes.size());
            // v2 takes three-dimensional scores, the others four.
            F32 scores(variant == 2 ? std::vector<int32_t>{1, kNB, kNC}
                                    : std::vector<int32_t>{1, kNB, kNC, 1},
                       kScores);
            F32 cache({1, 2 * kNB});
            I32 ids({1, m}, c.classes);
            F32 thr({m}, c.thresholds);
            I32 k({1}, {c.k});
            I32 idx({m, kNB}, {}, -1);
            I32 counts({m}, {}, -1);
            F32 selected({m, kNB}, {}, -1.0f);
            ASSERT_EQ(Select(variant, scores, cache, ids, thr, k, idx, counts, &selected), 0);
            for (int32_t j = 0; j < m; ++j) {
                const std::vector<int32_t>& want = c.expected[j];
                ASSERT_EQ(counts[j], static_cast<int32_t>(want.size())) << "class row " << j;
                for (int32_t t = 0; t < kNB; ++t) {
                    if (t < static_cast<int32_t>(want.size())) {
                        EXPECT_EQ(idx[j * kNB + t], want[t]) << j << "," << t;
                        if (variant == 0) {
                            EXPECT_EQ(selected[j * kNB + t], kScores[want[t] * kNC + c.classes[j]]);
                        }
                    } else {  // entries past the count are not written
                        EXPECT_EQ(idx[j * kNB + t], -1);
                        EXPECT_EQ(selected[j * kNB + t], -1.0f);
                    }
                }
            }
            EXPECT_TRUE(idx.GuardIntact() && counts.GuardIntact() && selected.GuardIntact());
            for (nn_tensor* t : {scores.t(), cache.t(), ids.t(), thr.t(), k.t(), idx.t(),
                                 counts.t(), selected.t()})
                EXPECT_EQ(nn_tensor_mapped(t), 0);
        }
    }
}

// Many equal scores and NaNs against a reference order computed here: score
// descending, equal scores by descending index, NaN never selected.
TEST(SsdSelect, ManyTiesAndNaNAgainstReference)
{
    const int32_t nb = 301;
    std::vector<float> values(nb);
    for (int32_t b = 0; b < nb; ++b)
        values[b] = (b % 7 == 3) ? std::numeric_limits<float>::quiet_NaN()
                                 : static_cast<float>((b * 37) % 5) * 0.25f;
    F32 scores({1, nb, 1}, values);
    F32 cache({1, 2 * nb});
    I32 ids({1, 1}, {0});
    F32 thr({1}, {-1.0f});
    I32 k({1}, {nb});
    I32 idx({1, nb}, {}, -1);
    I32 counts({1});
    ASSERT_EQ(nn_ssd_sort_scoresv2(scores, cache, ids, thr, k, idx, counts), 0);

    std::vector<int32_t> want;
    for (int32_t b = 0; b < nb; ++b)
        if (!std::isnan(values[b]))
            want.push_back(b);
    std::sort(want.begin(), want.end(), [&](int32_t a, int32_t b) {
        return values[a] != values[b] ? values[a] > values[b] : a > b;
    });
    ASSERT_EQ(counts[0], static_cast<int32_t>(want.size()));
    for (size_t t = 0; t < want.size(); ++t)
        ASSERT_EQ(idx[t], want[t]) << t;
}

TEST(SsdSelect, ComparatorIsATotalOrder)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const nn_score_pair pairs[] = {{nan, 0}, {nan, 4}, {-1.0f, 2}, {0.5f, 1}, {0.5f, 3}, {2.0f, 0}};
    const int n = sizeof pairs / sizeof pairs[0];
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < n; ++b) {
            int want = (a > b) - (a < b);  // listed in ascending order
            EXPECT_EQ(compare_scores(&pairs[a], &pairs[b]), want) << a << " " << b;
        }
}

// Each argument swapped for a failing one, one at a time.
TEST(SsdSelect, FailuresAndEveryMappingGivenBack)
{
    RecordingEngine eng({Slot::kTensorInit, Slot::kAssign, Slot::kMapRo, Slot::kMapRw,
                         Slot::kMapWo, Slot::kUnmap});
    eng.SetMapResult(Slot::kMapRo, nullptr);
    eng.SetMapResult(Slot::kMapRw, nullptr);

    struct Case {
        const char* what;
        int arg;  // 0 scores .. 7 selected; -1 none
        int kind; // 0 unmappable, 1 wrong type
        std::vector<int32_t> ids;
        int32_t cache_bytes;
        int32_t idx_len;
        int expected;
    };
    const Case cases[] = {
        {"cache of 8 NB - 1 bytes", -1, 0, {0}, 8 * kNB - 1, kNB, NN_ERROR_OUT_OF_RESOURCES},
        {"cache of exactly 8 NB bytes", -1, 0, {0}, 8 * kNB, kNB, NN_SUCCESS},
        {"class id NC", -1, 0, {0, kNC}, 8 * kNB, 2 * kNB, NN_ERROR_INVALID_PARAMETER},
        {"class id -1", -1, 0, {-1}, 8 * kNB, kNB, NN_ERROR_INVALID_PARAMETER},
        {"indices short of the last row", -1, 0, {0, 1}, 8 * kNB, 2 * kNB - 1,
         NN_ERROR_INVALID_SHAPE},
        {"scores not mappable", 0, 0, {0}, 8 * kNB, kNB, NN_ERROR_TENSOR_NO_DATA},
        {"cache not mappable", 1, 0, {0}, 8 * kNB, kNB, NN_ERROR_TENSOR_NO_DATA},
        {"class ids not mappable", 2, 0, {0}, 8 * kNB, kNB, NN_ERROR_TENSOR_NO_DATA},
        {"thresholds not mappable", 3, 0, {0}, 8 * kNB, kNB, NN_ERROR_TENSOR_NO_DATA},
        {"max K not mappable", 4, 0, {0}, 8 * kNB, kNB, NN_ERROR_TENSOR_NO_DATA},
        {"indices not mappable", 5, 0, {0}, 8 * kNB, kNB, NN_ERROR_TENSOR_NO_DATA},
        {"counts not mappable", 6, 0, {0}, 8 * kNB, kNB, NN_ERROR_TENSOR_NO_DATA},
        {"selected scores not mappable", 7, 0, {0}, 8 * kNB, kNB, NN_ERROR_TENSOR_NO_DATA},
        {"scores INT32", 0, 1, {0}, 8 * kNB, kNB, NN_ERROR_TYPE_MISMATCH},
        {"indices FLOAT32", 5, 1, {0}, 8 * kNB, kNB, NN_ERROR_TYPE_MISMATCH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int32_t m = static_cast<int32_t>(c.ids.size());
        F32 scores({1, kNB, kNC, 1}, kScores);
        Host<uint8_t> cache_bytes({c.cache_bytes}, {}, 0, nullptr, NN_TYPE_U8);
        I32 ids({1, m}, c.ids);
        F32 thr({m}, {}, 0.0f);
        I32 k({1}, {kNB});
        I32 idx({c.idx_len}, {}, -1);
        I32 counts({m}, {}, -1);
        F32 selected({m * kNB});
        std::vector<nn_tensor*> args = {scores, cache_bytes, ids, thr, k, idx, counts, selected};
        // The stand-ins: same shape, failing map or wrong type.
        std::vector<float> dummy(64);
        std::vector<int32_t> shape = {static_cast<int32_t>(dummy.size())};
        unsigned char rec[152];
        nn_tensor* bad = nullptr;
        if (c.arg >= 0) {
            nn_tensor* orig = args[c.arg];
            bad = nn_tensor_init(rec, c.kind == 0 ? eng.engine() : nullptr);
            nn_type type = nn_tensor_type(orig);
            if (c.kind == 1)
                type = type == NN_TYPE_F32 ? NN_TYPE_I32 : NN_TYPE_F32;
            nn_tensor_assign(bad, type, nn_tensor_dims(orig), nn_tensor_shape(orig), dummy.data());
            args[c.arg] = bad;
        }
        int status = nn_ssd_sort_scoresv0(args[0], args[1], args[2], args[3], args[4], args[5],
                                          args[6], args[7]);
        EXPECT_EQ(status, c.expected);
        for (nn_tensor* t : args)
            EXPECT_EQ(nn_tensor_mapped(t), 0);
        if (status != NN_SUCCESS) {  // nothing written on a refused call
            for (int32_t j = 0; j < m; ++j)
                EXPECT_EQ(counts[j], -1);
        }
        EXPECT_TRUE(idx.GuardIntact());
        if (bad)
            nn_tensor_release(bad);
    }
}

TEST(SsdSelect, ArrayFormMovesBoxesAlong)
{
    const int32_t nb = 3, nc = 2;
    // Scores b * nc + c.
    const std::vector<float> scores = {0.2f, 0.9f,   // box 0
                                       0.6f, 0.9f,   // box 1
                                       0.4f, 0.05f}; // box 2
    std::vector<float> boxes(nc * nb * 4 + 4, -5.0f);
    for (int b = 0; b < nb; ++b)
        for (int i = 0; i < 4; ++i)
            boxes[b * 4 + i] = static_cast<float>(10 * (b + 1) + i);
    std::vector<float> selected(nc * nb + 1, -5.0f);
    std::vector<int32_t> counts(nc + 1, -5);
    std::vector<unsigned char> scratch(24 * nb);
    ASSERT_EQ(nn_ssd_sort_scores_bbx(scores.data(), boxes.data(), scratch.data(), 5, nb, nc,
                                     counts.data(), selected.data(), 0.3f),
              0);
    // Class 0: boxes 1 (0.6) and 2 (0.4); class 1: boxes 1 and 0 (0.9 tie: higher index first).
    EXPECT_EQ(counts, (std::vector<int32_t>{2, 2, -5}));
    const std::vector<float> want_boxes = {
        20, 21, 22, 23, 30, 31, 32, 33, 0, 0, 0, 0,   // class 0: box 1, box 2, cleared
        20, 21, 22, 23, 10, 11, 12, 13, -5, -5, -5, -5, // class 1: untouched past its count
        -5, -5, -5, -5};
    EXPECT_EQ(boxes, want_boxes);
    EXPECT_EQ(selected, (std::vector<float>{0.6f, 0.4f, -5.0f, 0.9f, 0.9f, -5.0f, -5.0f}));

    // K of 1 keeps only the best; K of 0 none.
    for (int32_t k : {1, 0}) {
        std::vector<float> b2(nc * nb * 4, -5.0f);
        for (int i = 0; i < nb * 4; ++i)
            b2[i] = boxes[i];
        std::vector<int32_t> c2(nc, -5);
        ASSERT_EQ(nn_ssd_sort_scores_bbx(scores.data(), b2.data(), scratch.data(), k, nb, nc,
                                         c2.data(), selected.data(), 0.3f),
                  0);
        EXPECT_EQ(c2, (std::vector<int32_t>{k, k}));
    }
    EXPECT_EQ(nn_ssd_sort_scores_bbx(scores.data(), boxes.data(), scratch.data(), 1, -1, nc,
                                     counts.data(), selected.data(), 0.3f),
              NN_ERROR_INVALID_PARAMETER);
}

// ---- Box decoding -------------------------------------------------------

struct Box {
    double v[4];
};

// The decoder's formula in double precision.
Box DecodeRef(const float* e, const float* a)
{
    double ha = a[2] - a[0], wa = a[3] - a[1];
    double cy = (a[0] + a[2]) * 0.5 + (e[0] / 10.0) * ha;
    double cx = (a[1] + a[3]) * 0.5 + (e[1] / 10.0) * wa;
    double h = ha * std::exp(e[2] / 5.0), w = wa * std::exp(e[3] / 5.0);
    return {{cy - h / 2, cx - w / 2, cy + h / 2, cx + w / 2}};
}

TEST(SsdDecode, GatheredBoxesAgainstHandValues)
{
    const int32_t nb = 3;
    const std::vector<float> enc = {1, -2, 0, 0,      // box 0
                                    0, 0, 5, -5,      // box 1
                                    0.5f, 0.25f, 1, 2}; // box 2
    const std::vector<float> anc = {0, 0, 10, 20, 10, 10, 12, 14, -1, 2, 3, 4};
    F32 encodings({1, nb, 1, 4}, enc), anchors({nb, 4}, anc);
    F32 cache({20 * nb});
    // Row 0: boxes 2, 0; row 1: an index out of range between boxes 1 and 1.
    I32 indices({2, nb}, {2, 0, -9, 1, 7, 1});
    I32 counts({2}, {2, 3});
    F32 decoded({2, nb, 4}, {}, -3.0f);
    ASSERT_EQ(nn_ssd_decode_bounding_box(encodings, anchors, cache, indices, counts, decoded), 0);

    // Box 0 by hand: ha 10, wa 20, centre (5 + 1, 10 - 4), size (10, 20).
    EXPECT_FLOAT_EQ(decoded[4], 1.0f);
    EXPECT_FLOAT_EQ(decoded[5], -4.0f);
    EXPECT_FLOAT_EQ(decoded[6], 11.0f);
    EXPECT_FLOAT_EQ(decoded[7], 16.0f);
    const int order[2][3] = {{2, 0, -1}, {1, 1, -1}};
    for (int c = 0; c < 2; ++c)
        for (int g = 0; g < nb; ++g) {
            const float* got = &decoded[(c * nb + g) * 4];
            if (order[c][g] < 0) {  // not reached: left as it was
                for (int i = 0; i < 4; ++i)
                    EXPECT_EQ(got[i], -3.0f);
                continue;
            }
            int b = order[c][g];
            Box want = DecodeRef(&enc[b * 4], &anc[b * 4]);
            for (int i = 0; i < 4; ++i)
                EXPECT_NEAR(got[i], want.v[i], 1e-5 * (1 + std::fabs(want.v[i]))) << c << g << i;
        }
    EXPECT_TRUE(decoded.GuardIntact());
    EXPECT_EQ(nn_tensor_mapped(decoded), 0);
    EXPECT_EQ(nn_tensor_mapped(cache), 0);
}

TEST(SsdDecode, Failures)
{
    const int32_t nb = 2;
    struct Case {
        const char* what;
        std::vector<int32_t> counts;
        int32_t cache_floats;
        int32_t decoded_rows;
        int expected;
    };
    const Case cases[] = {
        {"negative count", {1, -1}, 20 * nb, 2, NN_ERROR_INTERNAL},
        {"count above NB", {nb + 1, 0}, 20 * nb, 2, NN_ERROR_INTERNAL},
        {"cache one float short of 80 NB bytes", {1, 1}, 20 * nb - 1, 2,
         NN_ERROR_OUT_OF_RESOURCES},
        {"decoded one row short", {1, 1}, 20 * nb, 1, NN_ERROR_INVALID_SHAPE},
        {"all fits", {1, 1}, 20 * nb, 2, NN_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        F32 encodings({1, nb, 1, 4}, {}, 0.0f), anchors({nb, 4}, {}, 1.0f);
        F32 cache({c.cache_floats});
        I32 indices({2, nb}, {0, 1, 1, 0});
        I32 counts({2}, c.counts);
        F32 decoded({c.decoded_rows, nb, 4}, {}, -3.0f);
        EXPECT_EQ(nn_ssd_decode_bounding_box(encodings, anchors, cache, indices, counts, decoded),
                  c.expected);
        if (c.expected != NN_SUCCESS) {
            for (size_t i = 0; i < decoded.volume(); ++i)
                ASSERT_EQ(decoded[i], -3.0f);
        }
        EXPECT_TRUE(decoded.GuardIntact());
        for (nn_tensor* t : {encodings.t(), anchors.t(), cache.t(), indices.t(), counts.t(),
                             decoded.t()})
            EXPECT_EQ(nn_tensor_mapped(t), 0);
    }

    // Unmappable read-only inputs.
    RecordingEngine eng({Slot::kTensorInit, Slot::kAssign, Slot::kMapRo, Slot::kMapRw,
                         Slot::kUnmap});
    eng.SetMapResult(Slot::kMapRo, nullptr);
    for (int which = 0; which < 2; ++which) {
        F32 good({1, nb, 1, 4});
        F32 bad({1, nb, 1, 4}, {}, 0.0f, eng.engine());
        F32 cache({20 * nb});
        I32 indices({1, nb}, {0, 1});
        I32 counts({1}, {2});
        F32 decoded({1, nb, 4});
        EXPECT_EQ(nn_ssd_decode_bounding_box(which == 0 ? bad.t() : good.t(),
                                             which == 1 ? bad.t() : good.t(), cache, indices,
                                             counts, decoded),
                  NN_ERROR_TENSOR_NO_DATA);
        EXPECT_EQ(nn_tensor_mapped(cache), 0);
        EXPECT_EQ(nn_tensor_mapped(good), 0);
    }
}

TEST(SsdDecode, RowViewRecordNotCreated)
{
    // The row views live on the decoded tensor's engine; its tensor-init slot
    // refusing the record gives 3 with every mapping given back.
    RecordingEngine eng({Slot::kTensorInit, Slot::kAssign, Slot::kView, Slot::kMapRo,
                         Slot::kMapRw, Slot::kUnmap});
    F32 decoded({1, 2, 4}, {}, -3.0f, eng.engine());
    eng.SetTensorInitResult(nullptr);
    F32 encodings({1, 2, 1, 4}), anchors({2, 4}), cache({40});
    I32 indices({1, 2}, {0, 1});
    I32 counts({1}, {2});
    EXPECT_EQ(nn_ssd_decode_bounding_box(encodings, anchors, cache, indices, counts, decoded),
              NN_ERROR_OUT_OF_MEMORY);
    for (nn_tensor* t : {encodings.t(), anchors.t(), cache.t(), indices.t(), counts.t(),
                         decoded.t()})
        EXPECT_EQ(nn_tensor_mapped(t), 0);
}

TEST(SsdDecode, VarianceDecoderCopiesClassesOneOnAndUsesTheVariances)
{
    const int32_t nb = 2, nc = 3;
    // Per box: nc logits then t0..t3.
    const std::vector<float> raw = {5, 0, 2, /**/ 1, -1, 0, 0,
                                    5, -3, 1, /**/ 0, 0, 2.5f, -5};
    // Centre 0, centre 1, size 0, size 1.
    const std::vector<float> anchors = {0.5f, 0.5f, 0.2f, 0.4f, 1, 2, 2, 4};
    std::vector<float> boxes(nb * 4 + 1, -9.0f);
    std::vector<float> scores = {-100.0f, 7, 7, 0.0f, 7, 7, -9.0f};
    decode_variance_bbx(raw.data(), anchors.data(), nb, nc, boxes.data(), scores.data(), 0.1f, 0.2f);
    auto sigmoid = [](double x) { return 1.0 / (1.0 + std::exp(-x)); };
    const double want_scores[] = {sigmoid(-100), sigmoid(0), sigmoid(2),
                                  sigmoid(0), sigmoid(-3), sigmoid(1)};
    for (int i = 0; i < nb * nc; ++i)
        EXPECT_NEAR(scores[i], want_scores[i], 1e-6) << i;
    EXPECT_EQ(scores[nb * nc], -9.0f);
    // Box 0 by hand: centre (0.5 + 0.1*0.2, 0.5 - 0.1*0.4) = (0.52, 0.46), size (0.2, 0.4).
    const double want0[] = {0.42, 0.26, 0.62, 0.66};
    // Box 1: centre (1, 2), sizes 2 e^0.5 and 4 e^-1.
    const double s0 = 2 * std::exp(0.5), s1 = 4 * std::exp(-1.0);
    const double want1[] = {1 - s0 / 2, 2 - s1 / 2, 1 + s0 / 2, 2 + s1 / 2};
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(boxes[i], want0[i], 1e-6) << i;
        EXPECT_NEAR(boxes[4 + i], want1[i], 1e-5) << i;
    }
    EXPECT_EQ(boxes[nb * 4], -9.0f);
}

}  // namespace
