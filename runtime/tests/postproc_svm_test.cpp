// The SVM operators against a double-precision reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "kestrune/nn.h"
#include "postproc_util.h"
#include "recording_engine.h"

namespace {

using kestrune::test::F32;
using kestrune::test::Host;
using kestrune::test::RecordingEngine;
using kestrune::test::Slot;

// ---- Reference ------------------------------------------------------------

std::vector<double> KernelRef(const std::vector<float>& x, const std::vector<float>& sv,
                              const std::vector<float>& counts, int d)
{
    int k = static_cast<int>(counts.size()), l = static_cast<int>(sv.size()) / d;
    std::vector<double> out(static_cast<size_t>(k * l), 0.0);
    int start = 0;
    for (int c = 0; c < k; ++c) {
        for (int j = 0; j < static_cast<int>(counts[c]); ++j) {
            double dot = 0;
            for (int f = 0; f < d; ++f)
                dot += static_cast<double>(x[f]) * sv[(start + j) * d + f];
            out[c * l + start + j] = dot;
        }
        start += static_cast<int>(counts[c]);
    }
    return out;
}

std::vector<double> DecisionRef(const std::vector<double>& kernel, const std::vector<float>& coef,
                                const std::vector<float>& intercepts, int k, int l)
{
    std::vector<double> out;
    size_t p = 0;
    for (int i = 0; i < k; ++i)
        for (int j = i + 1; j < k; ++j, ++p) {
            double s1 = 0, s2 = 0;
            for (int t = 0; t < l; ++t) {
                s1 += coef[(j - 1) * l + t] * kernel[i * l + t];
                s2 += coef[i * l + t] * kernel[j * l + t];
            }
            out.push_back(s1 + s2 - intercepts[p]);
        }
    return out;
}

// Pairwise coupling: the minimiser of p'Qp with sum p = 1, solved directly
// (Q p = lambda 1) by Gaussian elimination on the bordered system.
std::vector<double> ProbabilityRef(const std::vector<double>& dec, const std::vector<float>& a,
                                   const std::vector<float>& b, int k)
{
    std::vector<std::vector<double>> r(k, std::vector<double>(k, 0.0));
    size_t p = 0;
    for (int i = 0; i < k; ++i)
        for (int j = i + 1; j < k; ++j, ++p) {
            double f = dec[p] * a[p] + b[p];
            double q = 1.0 / (1.0 + std::exp(f));
            q = std::min(std::max(q, 1e-7), 0.9999999);
            r[i][j] = q;
            r[j][i] = 1 - q;
        }
    if (k == 2)
        return {r[0][1], r[1][0]};
    int n = k + 1;
    std::vector<std::vector<double>> m(n, std::vector<double>(n + 1, 0.0));
    for (int t = 0; t < k; ++t) {
        for (int j = 0; j < k; ++j)
            m[t][j] = t == j ? 0 : -r[j][t] * r[t][j];
        for (int j = 0; j < k; ++j)
            if (j != t)
                m[t][t] += r[j][t] * r[j][t];
        m[t][k] = -1;  // - lambda
        m[k][t] = 1;
    }
    m[k][n] = 1;
    for (int col = 0; col < n; ++col) {
        int pivot = col;
        for (int row = col + 1; row < n; ++row)
            if (std::fabs(m[row][col]) > std::fabs(m[pivot][col]))
                pivot = row;
        std::swap(m[col], m[pivot]);
        for (int row = 0; row < n; ++row) {
            if (row == col)
                continue;
            double factor = m[row][col] / m[col][col];
            for (int c = col; c <= n; ++c)
                m[row][c] -= factor * m[col][c];
        }
    }
    std::vector<double> out(k);
    for (int t = 0; t < k; ++t)
        out[t] = m[t][n] / m[t][t];
    return out;
}

// The coupling's fixed-point iteration in double precision: from p = 1/k,
// stopping once every |Qp_t - p'Qp| is below 0.005 / k.
std::vector<double> IterationRef(const std::vector<double>& dec, const std::vector<float>& a,
                                 const std::vector<float>& b, int k)
{
    std::vector<std::vector<double>> r(k, std::vector<double>(k, 0.0)), q = r;
    size_t n = 0;
    for (int i = 0; i < k; ++i)
        for (int j = i + 1; j < k; ++j, ++n) {
            double f = dec[n] * a[n] + b[n];
            r[i][j] = std::min(std::max(1.0 / (1.0 + std::exp(f)), 1e-7), 0.9999999);
            r[j][i] = 1 - r[i][j];
        }
    for (int t = 0; t < k; ++t)
        for (int j = 0; j < k; ++j) {
            if (j == t)
                for (int i = 0; i < k; ++i)
                    q[t][t] += i == t ? 0 : r[i][t] * r[i][t];
            else
                q[t][j] = -r[j][t] * r[t][j];
        }
    std::vector<double> p(k, 1.0 / k), qp(k);
    for (int it = 0; it < std::max(100, k); ++it) {
        double pqp = 0;
        for (int t = 0; t < k; ++t) {
            qp[t] = 0;
            for (int j = 0; j < k; ++j)
                qp[t] += q[t][j] * p[j];
            pqp += p[t] * qp[t];
        }
        double worst = 0;
        for (int t = 0; t < k; ++t)
            worst = std::max(worst, std::fabs(qp[t] - pqp));
        if (worst < 0.005 / k)
            break;
        for (int t = 0; t < k; ++t) {
            double diff = (pqp - qp[t]) / q[t][t];
            p[t] += diff;
            pqp = (pqp + diff * (diff * q[t][t] + 2 * qp[t])) / ((1 + diff) * (1 + diff));
            for (int j = 0; j < k; ++j) {
                qp[j] = (qp[j] + diff * q[t][j]) / (1 + diff);
                p[j] /= 1 + diff;
            }
        }
    }
    return p;
}

// ---- The three-class example (L = 5, D = 3) --------------------------------

const std::vector<float> kX = {1, 2, -1};
const std::vector<float> kSv = {0.5f, 0.1f, 0.2f, -0.3f, 0.4f, 1.0f, 0.2f, -0.5f, 0.3f,
                                1.0f, 0.0f, -0.4f, 0.1f, 0.3f, 0.5f};
const std::vector<float> kCoef = {0.5f, -0.2f, 0.3f, 0.8f, -0.6f, 0.1f, 0.4f, -0.7f, 0.2f, 0.9f};
const std::vector<float> kIntercepts = {0.1f, -0.2f, 0.05f};
const std::vector<float> kA = {-1.5f, -0.8f, -2.0f};
const std::vector<float> kB = {0.1f, -0.05f, 0.2f};

TEST(Svm, ThreeClassChainAgainstReference)
{
    const int k = 3, l = 5, d = 3;
    for (const std::vector<float>& counts :
         {std::vector<float>{2, 2, 1}, std::vector<float>{2, 0, 3}, std::vector<float>{1, 1, 1}}) {
        SCOPED_TRACE(counts[1]);
        F32 x({1, d}, kX), sv({l, d}, kSv), n({k}, counts);
        F32 kernel({k, l}, {}, 99.0f);  // an earlier layer's bytes
        F32 cache({k * k * 3});
        ASSERT_EQ(nn_svm_update_kernel(kernel, cache, x, sv, n), 0);
        std::vector<double> kref = KernelRef(kX, kSv, counts, d);
        for (int i = 0; i < k * l; ++i)
            EXPECT_NEAR(kernel[i], kref[i], 1e-6) << i;
        EXPECT_TRUE(kernel.GuardIntact());

        F32 coef({k - 1, l}, kCoef), intercepts({3}, kIntercepts), dec({3}, {}, 99.0f);
        ASSERT_EQ(nn_svm_decision_stats(dec, cache, kernel, coef, intercepts), 0);
        std::vector<double> dref = DecisionRef(kref, kCoef, kIntercepts, k, l);
        for (int p = 0; p < 3; ++p)
            EXPECT_NEAR(dec[p], dref[p], 1e-5) << p;
        EXPECT_TRUE(dec.GuardIntact());

        F32 a({3}, kA), b({3}, kB), prob({k}, {}, 99.0f);
        ASSERT_EQ(nn_svm_soft_probability(prob, cache, dec, a, b), 0);
        std::vector<double> pref = ProbabilityRef(dref, kA, kB, k);
        std::vector<double> iref = IterationRef(dref, kA, kB, k);
        double sum = 0;
        for (int t = 0; t < k; ++t) {
            EXPECT_NEAR(prob[t], iref[t], 1e-5) << t;
            EXPECT_NEAR(prob[t], pref[t], 2e-3) << t;  // the iteration stops at 0.005 / k
            sum += prob[t];
        }
        EXPECT_NEAR(sum, 1.0, 1e-5);
        EXPECT_TRUE(prob.GuardIntact());
        for (nn_tensor* t : {x.t(), sv.t(), n.t(), kernel.t(), cache.t(), coef.t(), dec.t(),
                             a.t(), b.t(), prob.t()})
            EXPECT_EQ(nn_tensor_mapped(t), 0);
    }
}

TEST(Svm, CountZeroGivesARowOfZeros)
{
    F32 x({1, 3}, kX), sv({5, 3}, kSv), n({3}, {2, 0, 3});
    F32 kernel({3, 5}, {}, 99.0f), cache({5});
    ASSERT_EQ(nn_svm_update_kernel(kernel, cache, x, sv, n), 0);
    for (int i = 5; i < 10; ++i)
        EXPECT_EQ(kernel[i], 0.0f) << i;
}

struct ProbCase {
    const char* what;
    std::vector<float> dec, a, b;
    std::vector<float> expected;
};

TEST(Svm, ProbabilityCases)
{
    const float lo = static_cast<float>(1e-7), hi = static_cast<float>(0.9999999);
    const float q = static_cast<float>(1.0 / (1.0 + std::exp(-0.5)));
    const ProbCase cases[] = {
        {"two classes skip the coupling", {0.3f}, {-2.0f}, {0.1f}, {q, 1.0f - q}},
        {"a sigmoid of 0 is held at 1e-7", {1000.0f}, {1.0f}, {0.0f}, {lo, 1.0f - lo}},
        {"a sigmoid of 1 is held at 0.9999999", {-1000.0f}, {1.0f}, {0.0f}, {hi, 1.0f - hi}},
        {"r = 0.5 everywhere: 1/3 each after the first test", {0, 0, 0}, {1, 1, 1}, {0, 0, 0},
         {1.0f / 3, 1.0f / 3, 1.0f / 3}},
    };
    for (const ProbCase& c : cases) {
        SCOPED_TRACE(c.what);
        int32_t k = static_cast<int32_t>(c.expected.size()), p = k * (k - 1) / 2;
        F32 dec({p}, c.dec), a({p}, c.a), b({p}, c.b), prob({k}, {}, 99.0f);
        F32 cache({3 * k * k});
        ASSERT_EQ(nn_svm_soft_probability(prob, cache, dec, a, b), 0);
        EXPECT_EQ(prob.values(), c.expected);
        EXPECT_TRUE(prob.GuardIntact());
    }
}

TEST(Svm, NonConvergenceGives1)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    F32 dec({3}, {nan, 0, 0}), a({3}, {1, 1, 1}), b({3}, {0, 0, 0}), prob({3}), cache({27});
    EXPECT_EQ(nn_svm_soft_probability(prob, cache, dec, a, b), NN_ERROR_INTERNAL);
    EXPECT_EQ(nn_tensor_mapped(cache), 0);
    EXPECT_EQ(nn_tensor_mapped(prob), 0);
}

TEST(Svm, UpdateKernelFailures)
{
    struct Case {
        const char* what;
        std::vector<float> counts;
        std::vector<int32_t> out_shape, x_shape;
        int32_t cache_floats;
        int expected;
    };
    const Case cases[] = {
        {"negative count", {-1, 2, 1}, {3, 5}, {1, 3}, 5, NN_ERROR_INVALID_PARAMETER},
        {"counts summing above L", {2, 2, 2}, {3, 5}, {1, 3}, 5, NN_ERROR_INVALID_PARAMETER},
        {"a NaN count", {2, NAN, 1}, {3, 5}, {1, 3}, 5, NN_ERROR_INVALID_PARAMETER},
        {"cache one float short of L", {2, 2, 1}, {3, 5}, {1, 3}, 4, NN_ERROR_OUT_OF_RESOURCES},
        {"output not [k, L]", {2, 2, 1}, {3, 4}, {1, 3}, 5, NN_ERROR_INVALID_SHAPE},
        {"features not D", {2, 2, 1}, {3, 5}, {1, 2}, 5, NN_ERROR_INVALID_SHAPE},
        {"counts filling L exactly", {2, 2, 1}, {3, 5}, {1, 3}, 5, NN_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        F32 x(c.x_shape, kX), sv({5, 3}, kSv), n({3}, c.counts);
        F32 kernel(c.out_shape, {}, 99.0f), cache({c.cache_floats});
        EXPECT_EQ(nn_svm_update_kernel(kernel, cache, x, sv, n), c.expected);
        EXPECT_TRUE(kernel.GuardIntact());
        for (nn_tensor* t : {x.t(), sv.t(), n.t(), kernel.t(), cache.t()})
            EXPECT_EQ(nn_tensor_mapped(t), 0);
    }
}

TEST(Svm, DecisionAndProbabilityFailures)
{
    F32 kernel({3, 5}), coef({2, 5}, kCoef), intercepts({3}, kIntercepts), dec({3});
    F32 empty({0}), one({1});
    EXPECT_EQ(nn_svm_decision_stats(dec, empty, kernel, coef, intercepts),
              NN_ERROR_OUT_OF_RESOURCES);
    EXPECT_EQ(nn_svm_decision_stats(dec, one, kernel, coef, intercepts), 0);
    F32 short_dec({2}), wide_coef({3, 5}), long_intercepts({4});
    EXPECT_EQ(nn_svm_decision_stats(short_dec, one, kernel, coef, intercepts),
              NN_ERROR_INVALID_SHAPE);
    EXPECT_EQ(nn_svm_decision_stats(dec, one, kernel, wide_coef, intercepts),
              NN_ERROR_INVALID_SHAPE);
    EXPECT_EQ(nn_svm_decision_stats(dec, one, kernel, coef, long_intercepts),
              NN_ERROR_INVALID_SHAPE);

    F32 a({3}, kA), b({3}, kB), prob({3}, {}, 99.0f), short_a({2});
    Host<uint8_t> short_cache({12 * 9 - 1}, {}, 0, nullptr, NN_TYPE_U8);
    Host<uint8_t> cache({12 * 9}, {}, 0, nullptr, NN_TYPE_U8);
    EXPECT_EQ(nn_svm_soft_probability(prob, short_cache, dec, a, b), NN_ERROR_OUT_OF_RESOURCES);
    EXPECT_EQ(nn_svm_soft_probability(prob, cache, dec, short_a, b), NN_ERROR_INVALID_SHAPE);
    EXPECT_EQ(nn_svm_soft_probability(prob, cache, dec, a, b), 0);

    // The probability view's record cannot be created on the cache's engine.
    RecordingEngine eng({Slot::kTensorInit, Slot::kAssign, Slot::kView, Slot::kMapRo,
                         Slot::kMapRw, Slot::kUnmap});
    F32 engine_cache({27}, {}, 0.0f, eng.engine());
    eng.SetTensorInitResult(nullptr);
    EXPECT_EQ(nn_svm_soft_probability(prob, engine_cache, dec, a, b), NN_ERROR_OUT_OF_MEMORY);

    // Unmappable tensors.
    RecordingEngine failing({Slot::kTensorInit, Slot::kAssign, Slot::kMapRo, Slot::kMapRw,
                             Slot::kUnmap});
    failing.SetMapResult(Slot::kMapRo, nullptr);
    failing.SetMapResult(Slot::kMapRw, nullptr);
    F32 bad_prob({3}, {}, 0.0f, failing.engine()), bad_dec({3}, {}, 0.0f, failing.engine());
    EXPECT_EQ(nn_svm_soft_probability(bad_prob, cache, dec, a, b), NN_ERROR_TENSOR_NO_DATA);
    EXPECT_EQ(nn_svm_soft_probability(prob, cache, bad_dec, a, b), NN_ERROR_TENSOR_NO_DATA);
    EXPECT_EQ(nn_svm_decision_stats(bad_dec, one, kernel, coef, intercepts),
              NN_ERROR_TENSOR_NO_DATA);
    F32 bad_counts({3}, {2, 2, 1}, 0.0f, failing.engine());
    F32 x({1, 3}, kX), sv({5, 3}, kSv), k_out({3, 5}), k_cache({5});
    EXPECT_EQ(nn_svm_update_kernel(k_out, k_cache, x, sv, bad_counts), NN_ERROR_TENSOR_NO_DATA);
    for (nn_tensor* t : {cache.t(), dec.t(), a.t(), b.t(), prob.t(), one.t(), kernel.t(),
                         k_out.t(), k_cache.t()})
        EXPECT_EQ(nn_tensor_mapped(t), 0);
}

}  // namespace
