// nn_dense, nn_linear, nn_matmul and nn_matmul_cache: products against
// reference loops, the engine slots, and every failure status with the map
// counts back at 0 and the output untouched where the call failed early.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "recording_engine.h"

extern "C" {
#include "kernels/fixed_point.h"
}

namespace {

using kestrune::test::RecordingEngine;
using kestrune::test::Slot;

struct TensorDeleter {
    void operator()(nn_tensor* t) const { nn_tensor_release(t); }
};
using Tensor = std::unique_ptr<nn_tensor, TensorDeleter>;

Tensor make(nn_type type, std::vector<int32_t> shape, nn_engine* engine = nullptr)
{
    Tensor t(nn_tensor_init(nullptr, engine));
    EXPECT_EQ(0, nn_tensor_alloc(t.get(), type, (int)shape.size(), shape.data()));
    return t;
}

template <typename T>
Tensor make_with(nn_type type, std::vector<int32_t> shape, const std::vector<T>& values,
                 nn_engine* engine = nullptr)
{
    Tensor t = make(type, shape, engine);
    void* p = nn_tensor_mapwo(t.get());
    EXPECT_NE(nullptr, p);
    std::memcpy(p, values.data(), values.size() * sizeof(T));
    nn_tensor_unmap(t.get());
    return t;
}

// A tensor with a shape but no data: every mapping of it gives NULL.
Tensor no_data(nn_type type, std::vector<int32_t> shape)
{
    Tensor t(nn_tensor_init(nullptr, nullptr));
    EXPECT_EQ(0, nn_tensor_assign(t.get(), type, (int)shape.size(), shape.data(), nullptr));
    return t;
}

template <typename T>
std::vector<T> read(nn_tensor* t)
{
    std::vector<T> v(nn_tensor_volume(t));
    const void* p = nn_tensor_mapro(t);
    std::memcpy(v.data(), p, v.size() * sizeof(T));
    nn_tensor_unmap(t);
    return v;
}

std::vector<uint8_t> read_bytes(nn_tensor* t)
{
    std::vector<uint8_t> v(nn_tensor_size(t));
    const void* p = nn_tensor_mapro(t);
    std::memcpy(v.data(), p, v.size());
    nn_tensor_unmap(t);
    return v;
}

std::vector<float> random_floats(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-1.5f, 1.5f);
    std::vector<float> v(n);
    for (auto& x : v) x = d(rng);
    return v;
}

// C = op(A)·op(B) in double; A stored M×K (or K×M), B K×N (or N×K).
std::vector<double> ref_product(const std::vector<float>& A, const std::vector<float>& B, int M,
                                int N, int K, bool ta, bool tb)
{
    std::vector<double> c((size_t)M * N);
    for (int i = 0; i < M; ++i)
        for (int j = 0; j < N; ++j) {
            double s = 0;
            for (int k = 0; k < K; ++k)
                s += (double)(ta ? A[(size_t)k * M + i] : A[(size_t)i * K + k]) *
                     (tb ? B[(size_t)j * K + k] : B[(size_t)k * N + j]);
            c[(size_t)i * N + j] = s;
        }
    return c;
}

void expect_near_all(const std::vector<double>& want, const std::vector<float>& got, double tol)
{
    ASSERT_EQ(want.size(), got.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(want[i], got[i], tol) << "element " << i;
}

// ---- nn_matmul ------------------------------------------------------------

TEST(Matmul, SmallProductByHand)
{
    Tensor a = make_with<float>(NN_TYPE_F32, {2, 3}, {1, 2, 3, 4, 5, 6});
    Tensor b = make_with<float>(NN_TYPE_F32, {3, 4}, {1, 0, 2, -1, 0, 1, 1, 2, 3, -1, 0, 1});
    Tensor c = make(NN_TYPE_F32, {2, 4});
    ASSERT_EQ(0, nn_matmul(c.get(), a.get(), b.get(), 0, 0));
    EXPECT_EQ((std::vector<float>{10, -1, 4, 6, 22, -1, 13, 12}), read<float>(c.get()));
    for (nn_tensor* t : {a.get(), b.get(), c.get()}) EXPECT_EQ(0, nn_tensor_mapped(t));
}

TEST(Matmul, TransposeFlagsMatchPlainProduct)
{
    const int M = 5, N = 7, K = 9;
    auto A = random_floats(M * K, 1), B = random_floats(K * N, 2);
    std::vector<float> At(K * M), Bt(N * K);
    for (int i = 0; i < M; ++i)
        for (int k = 0; k < K; ++k) At[k * M + i] = A[i * K + k];
    for (int k = 0; k < K; ++k)
        for (int j = 0; j < N; ++j) Bt[j * K + k] = B[k * N + j];
    auto want = ref_product(A, B, M, N, K, false, false);
    for (int ta = 0; ta < 2; ++ta)
        for (int tb = 0; tb < 2; ++tb) {
            Tensor a = ta ? make_with(NN_TYPE_F32, {K, M}, At) : make_with(NN_TYPE_F32, {M, K}, A);
            Tensor b = tb ? make_with(NN_TYPE_F32, {N, K}, Bt) : make_with(NN_TYPE_F32, {K, N}, B);
            Tensor c = make(NN_TYPE_F32, {M, N});
            ASSERT_EQ(0, nn_matmul(c.get(), a.get(), b.get(), (uint8_t)ta, (uint8_t)(tb ? 2 : 0)));
            SCOPED_TRACE(testing::Message() << "ta " << ta << " tb " << tb);
            expect_near_all(want, read<float>(c.get()), 1e-4);
        }
}

TEST(Matmul, InvalidProductPrintsAndReturns9)
{
    struct Case { std::vector<int32_t> c, a, b; uint8_t ta, tb; const char* text; };
    const Case cases[] = {
        {{2, 5}, {2, 3}, {3, 4}, 0, 0, "invalid gemm C[2,5] = A[2,3]*B[3,4]n"},
        {{3, 4}, {2, 3}, {3, 4}, 0, 0, "invalid gemm C[3,4] = A[2,3]*B[3,4]n"},
        {{2, 4}, {2, 3}, {2, 4}, 0, 0, "invalid gemm C[2,4] = A[2,3]*B[2,4]n"},
        {{2, 4}, {2, 3}, {3, 4}, 1, 0, "invalid gemm C[2,4] = A[3,2]*B[3,4]n"},
        {{2, 4}, {2, 3}, {3, 4}, 0, 1, "invalid gemm C[2,4] = A[2,3]*B[4,3]n"},
    };
    for (const Case& k : cases) {
        Tensor a = make(NN_TYPE_F32, k.a), b = make(NN_TYPE_F32, k.b), c = make(NN_TYPE_F32, k.c);
        for (int cached = 0; cached < 2; ++cached) {
            Tensor cache = make(NN_TYPE_F32, {64});
            testing::internal::CaptureStderr();
            testing::internal::CaptureStdout();
            int st = cached ? nn_matmul_cache(c.get(), cache.get(), a.get(), b.get(), k.ta, k.tb)
                            : nn_matmul(c.get(), a.get(), b.get(), k.ta, k.tb);
            std::string out = testing::internal::GetCapturedStdout();
            std::string err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(NN_ERROR_INVALID_SHAPE, st);
            EXPECT_EQ(k.text, err);
            EXPECT_EQ("", out);
            for (nn_tensor* t : {a.get(), b.get(), c.get(), cache.get()}) EXPECT_EQ(0, nn_tensor_mapped(t));
        }
    }
}

TEST(Matmul, TypesOtherThanFloatAreRefused)
{
    for (int which = 0; which < 3; ++which) {
        Tensor a = make(which == 1 ? NN_TYPE_I8 : NN_TYPE_F32, {2, 3});
        Tensor b = make(which == 2 ? NN_TYPE_U8 : NN_TYPE_F32, {3, 4});
        Tensor c = make(which == 0 ? NN_TYPE_I32 : NN_TYPE_F32, {2, 4});
        Tensor cache = make(NN_TYPE_F32, {64});
        EXPECT_EQ(NN_ERROR_TYPE_MISMATCH, nn_matmul(c.get(), a.get(), b.get(), 0, 0));
        EXPECT_EQ(NN_ERROR_TYPE_MISMATCH, nn_matmul_cache(c.get(), cache.get(), a.get(), b.get(), 0, 0));
    }
}

TEST(Matmul, NullMappingsGiveBackEarlierOnes)
{
    for (int missing = 0; missing < 3; ++missing) {
        Tensor a = missing == 1 ? no_data(NN_TYPE_F32, {2, 3}) : make(NN_TYPE_F32, {2, 3});
        Tensor b = missing == 2 ? no_data(NN_TYPE_F32, {3, 4}) : make(NN_TYPE_F32, {3, 4});
        Tensor c = missing == 0 ? no_data(NN_TYPE_F32, {2, 4}) : make(NN_TYPE_F32, {2, 4});
        EXPECT_EQ(NN_ERROR_TENSOR_NO_DATA, nn_matmul(c.get(), a.get(), b.get(), 0, 0));
        for (nn_tensor* t : {a.get(), b.get(), c.get()}) EXPECT_EQ(0, nn_tensor_mapped(t));
    }
    // the cache is mapped only when B fits it
    Tensor a = make(NN_TYPE_F32, {2, 3}), b = make(NN_TYPE_F32, {3, 4}), c = make(NN_TYPE_F32, {2, 4});
    Tensor cache = no_data(NN_TYPE_F32, {12});
    EXPECT_EQ(NN_ERROR_TENSOR_NO_DATA, nn_matmul_cache(c.get(), cache.get(), a.get(), b.get(), 0, 0));
    for (nn_tensor* t : {a.get(), b.get(), c.get(), cache.get()}) EXPECT_EQ(0, nn_tensor_mapped(t));
}

// ---- nn_matmul_cache --------------------------------------------------------

TEST(MatmulCache, StagesTransposedBAndMatchesMatmul)
{
    const int M = 6, N = 17, K = 20;
    auto A = random_floats(M * K, 3), B = random_floats(K * N, 4);
    auto want = ref_product(A, B, M, N, K, false, false);
    for (int tb = 0; tb < 2; ++tb) {
        std::vector<float> Bs = B;
        if (tb)
            for (int k = 0; k < K; ++k)
                for (int j = 0; j < N; ++j) Bs[j * K + k] = B[k * N + j];
        Tensor a = make_with(NN_TYPE_F32, {M, K}, A);
        Tensor b = tb ? make_with(NN_TYPE_F32, {N, K}, Bs) : make_with(NN_TYPE_F32, {K, N}, Bs);
        Tensor cache = make(NN_TYPE_U8, {K * N * 4 + 3});
        Tensor c = make(NN_TYPE_F32, {M, N});
        testing::internal::CaptureStdout();
        ASSERT_EQ(0, nn_matmul_cache(c.get(), cache.get(), a.get(), b.get(), 0, (uint8_t)tb));
        EXPECT_EQ("", testing::internal::GetCapturedStdout());
        expect_near_all(want, read<float>(c.get()), 1e-4);
        // the cache holds B transposed: row j is column j of B
        std::vector<uint8_t> raw = read<uint8_t>(cache.get());
        std::vector<float> staged(K * N);
        std::memcpy(staged.data(), raw.data(), staged.size() * 4);
        for (int k = 0; k < K; ++k)
            for (int j = 0; j < N; ++j) EXPECT_EQ(B[k * N + j], staged[j * K + k]);
        for (nn_tensor* t : {a.get(), b.get(), c.get(), cache.get()}) EXPECT_EQ(0, nn_tensor_mapped(t));
    }
}

TEST(MatmulCache, TransposedAWithStagedB)
{
    const int M = 5, N = 6, K = 7;
    auto A = random_floats(M * K, 11), B = random_floats(K * N, 12);
    std::vector<float> At(K * M);
    for (int i = 0; i < M; ++i)
        for (int k = 0; k < K; ++k) At[k * M + i] = A[i * K + k];
    Tensor a = make_with(NN_TYPE_F32, {K, M}, At), b = make_with(NN_TYPE_F32, {K, N}, B);
    Tensor cache = make(NN_TYPE_F32, {K * N}), c = make(NN_TYPE_F32, {M, N});
    ASSERT_EQ(0, nn_matmul_cache(c.get(), cache.get(), a.get(), b.get(), 1, 0));
    expect_near_all(ref_product(A, B, M, N, K, false, false), read<float>(c.get()), 1e-4);
    EXPECT_GT(nn_tensor_time(c.get()), 0);
}

TEST(MatmulCache, SmallOrMissingCacheWarnsAndUsesBInPlace)
{
    const int M = 3, K = 10, N = 100;  // B is 4,000 bytes
    auto A = random_floats(M * K, 5), B = random_floats(K * N, 6);
    auto want = ref_product(A, B, M, N, K, false, false);
    struct Case { int cache_bytes; const char* text; };
    for (Case k : {Case{3999, "warning: insufficient cache (3KB) for b matrix (3KB)"},
                   Case{-1, "warning: insufficient cache (0KB) for b matrix (3KB)"}}) {
        Tensor a = make_with(NN_TYPE_F32, {M, K}, A), b = make_with(NN_TYPE_F32, {K, N}, B);
        Tensor c = make(NN_TYPE_F32, {M, N});
        Tensor cache = k.cache_bytes > 0 ? make(NN_TYPE_U8, {k.cache_bytes}) : Tensor();
        for (int call = 0; call < 2; ++call) {  // printed on every such call
            testing::internal::CaptureStdout();
            ASSERT_EQ(0, nn_matmul_cache(c.get(), cache.get(), a.get(), b.get(), 0, 0));
            EXPECT_EQ(k.text, testing::internal::GetCapturedStdout());
        }
        expect_near_all(want, read<float>(c.get()), 1e-4);
        if (cache) {
            EXPECT_EQ(std::vector<uint8_t>(k.cache_bytes, 0), read<uint8_t>(cache.get()));
        }
    }
}

// ---- nn_dense / nn_linear (FLOAT32) -----------------------------------------

double act(double x, int a)
{
    switch (a) {
    case 1: return x < 0 ? 0 : x;
    case 2: return x < 0 ? 0 : x > 6 ? 6 : x;
    case 3: return 1 / (std::exp(-x) + 1);
    case 4: return 1 / (std::fabs(x) + 1);
    case 5: return std::tanh(x);
    default: return x;
    }
}

TEST(Dense, FloatEqualsMatmulPlusActivationAndLinear)
{
    const int M = 4, K = 19, N = 13;
    auto A = random_floats(M * K, 7), W = random_floats(K * N, 8), bias = random_floats(N, 9);
    for (auto& v : A) v *= 3;
    std::vector<float> Wt(N * K);
    for (int k = 0; k < K; ++k)
        for (int j = 0; j < N; ++j) Wt[j * K + k] = W[k * N + j];
    auto prod = ref_product(A, W, M, N, K, false, false);
    for (int a_ = 0; a_ <= 5; ++a_)
        for (int with_bias = 0; with_bias < 2; ++with_bias) {
            Tensor in = make_with(NN_TYPE_F32, {M, K}, A);
            Tensor w = make_with(NN_TYPE_F32, {K, N}, W);
            Tensor wt = make_with(NN_TYPE_F32, {N, K}, Wt);
            Tensor b = with_bias ? make_with(NN_TYPE_F32, {N}, bias) : Tensor();
            Tensor c = make(NN_TYPE_F32, {M, N}), l = make(NN_TYPE_F32, {M, N});
            ASSERT_EQ(0, nn_dense(c.get(), in.get(), w.get(), b.get(), a_));
            ASSERT_EQ(0, nn_linear(l.get(), in.get(), wt.get(), b.get(), a_));
            std::vector<double> want(prod.size());
            for (size_t i = 0; i < want.size(); ++i)
                want[i] = act(prod[i] + (with_bias ? bias[i % N] : 0.0), a_);
            SCOPED_TRACE(testing::Message() << "activation " << a_ << " bias " << with_bias);
            expect_near_all(want, read<float>(c.get()), 1e-4);
            expect_near_all(want, read<float>(l.get()), 1e-4);
            for (nn_tensor* t : {in.get(), w.get(), wt.get(), c.get(), l.get(), b.get()}) {
                if (t) {
                    EXPECT_EQ(0, nn_tensor_mapped(t));
                }
            }
        }
}

TEST(Dense, TimeFieldIsStored)
{
    Tensor in = make(NN_TYPE_F32, {64, 64}), w = make(NN_TYPE_F32, {64, 64});
    Tensor c = make(NN_TYPE_F32, {64, 64}), l = make(NN_TYPE_F32, {64, 64});
    ASSERT_EQ(0, nn_dense(c.get(), in.get(), w.get(), nullptr, 0));
    ASSERT_EQ(0, nn_linear(l.get(), in.get(), w.get(), nullptr, 0));
    EXPECT_GT(nn_tensor_time(c.get()), 0);
    EXPECT_GT(nn_tensor_time(l.get()), 0);
}

// Every shape or type refusal returns before anything is mapped and leaves
// the output as it was.
TEST(Dense, ShapeAndTypeRefusals)
{
    struct Case {
        const char* what; bool linear; nn_type to, ti, tw, tb;
        std::vector<int32_t> out, in, w, bias; int want;
    };
    const nn_type F = NN_TYPE_F32, I8 = NN_TYPE_I8, U8 = NN_TYPE_U8, I32 = NN_TYPE_I32;
    const Case cases[] = {
        {"rows", false, F, F, F, F, {3, 4}, {2, 5}, {5, 4}, {4}, NN_ERROR_INVALID_SHAPE},
        {"inner", false, F, F, F, F, {2, 4}, {2, 5}, {6, 4}, {4}, NN_ERROR_INVALID_SHAPE},
        {"columns", false, F, F, F, F, {2, 3}, {2, 5}, {5, 4}, {3}, NN_ERROR_INVALID_SHAPE},
        {"short bias", false, F, F, F, F, {2, 4}, {2, 5}, {5, 4}, {3}, NN_ERROR_INVALID_SHAPE},
        {"not a matrix", false, F, F, F, F, {2, 4}, {2, 5, 2}, {5, 4}, {4}, NN_ERROR_INVALID_SHAPE},
        {"linear rows", true, F, F, F, F, {3, 4}, {2, 5}, {4, 5}, {4}, NN_ERROR_INVALID_SHAPE},
        {"linear inner", true, F, F, F, F, {2, 4}, {2, 5}, {4, 6}, {4}, NN_ERROR_INVALID_SHAPE},
        {"linear short bias", true, F, F, F, F, {2, 4}, {2, 5}, {4, 5}, {2}, NN_ERROR_INVALID_SHAPE},
        {"float input, int8 weights", false, F, F, I8, F, {2, 4}, {2, 5}, {5, 4}, {4}, NN_ERROR_TYPE_MISMATCH},
        {"float input, int8 output", false, I8, F, F, F, {2, 4}, {2, 5}, {5, 4}, {4}, NN_ERROR_TYPE_MISMATCH},
        {"int8 input, float weights", false, I8, I8, F, I32, {2, 4}, {2, 5}, {5, 4}, {4}, NN_ERROR_TYPE_MISMATCH},
        {"int8 input, float output", false, F, I8, I8, I32, {2, 4}, {2, 5}, {5, 4}, {4}, NN_ERROR_TYPE_MISMATCH},
        {"int8 input, int8 bias", false, I8, I8, I8, I8, {2, 4}, {2, 5}, {5, 4}, {4}, NN_ERROR_TYPE_MISMATCH},
        {"int16 input", false, I8, NN_TYPE_I16, I8, I32, {2, 4}, {2, 5}, {5, 4}, {4}, NN_ERROR_TYPE_MISMATCH},
        {"linear int8", true, F, I8, F, F, {2, 4}, {2, 5}, {4, 5}, {4}, NN_ERROR_TYPE_MISMATCH},
        {"linear uint8 weights", true, F, F, U8, F, {2, 4}, {2, 5}, {4, 5}, {4}, NN_ERROR_TYPE_MISMATCH},
    };
    for (const Case& k : cases) {
        Tensor out = make(k.to, k.out), in = make(k.ti, k.in), w = make(k.tw, k.w), b = make(k.tb, k.bias);
        void* p = nn_tensor_maprw(out.get());
        std::memset(p, 0x3C, nn_tensor_size(out.get()));
        nn_tensor_unmap(out.get());
        int st = k.linear ? nn_linear(out.get(), in.get(), w.get(), b.get(), 0)
                          : nn_dense(out.get(), in.get(), w.get(), b.get(), 0);
        EXPECT_EQ(k.want, st) << k.what;
        EXPECT_EQ(std::vector<uint8_t>(nn_tensor_size(out.get()), 0x3C), read_bytes(out.get())) << k.what;
        for (nn_tensor* t : {out.get(), in.get(), w.get(), b.get()}) EXPECT_EQ(0, nn_tensor_mapped(t)) << k.what;
    }
    EXPECT_EQ(NN_ERROR_INVALID_PARAMETER, nn_dense(nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(NN_ERROR_INVALID_PARAMETER, nn_linear(nullptr, nullptr, nullptr, nullptr, 0));
}

TEST(Dense, NullMappingsGiveBackEarlierOnes)
{
    for (int linear = 0; linear < 2; ++linear)
        for (int missing = 0; missing < 4; ++missing) {
            std::vector<int32_t> ws = linear ? std::vector<int32_t>{4, 5} : std::vector<int32_t>{5, 4};
            Tensor out = missing == 0 ? no_data(NN_TYPE_F32, {2, 4}) : make(NN_TYPE_F32, {2, 4});
            Tensor in = missing == 1 ? no_data(NN_TYPE_F32, {2, 5}) : make(NN_TYPE_F32, {2, 5});
            Tensor w = missing == 2 ? no_data(NN_TYPE_F32, ws) : make(NN_TYPE_F32, ws);
            Tensor b = missing == 3 ? no_data(NN_TYPE_F32, {4}) : make(NN_TYPE_F32, {4});
            int st = linear ? nn_linear(out.get(), in.get(), w.get(), b.get(), 0)
                            : nn_dense(out.get(), in.get(), w.get(), b.get(), 0);
            EXPECT_EQ(NN_ERROR_TENSOR_NO_DATA, st) << linear << " " << missing;
            for (nn_tensor* t : {out.get(), in.get(), w.get(), b.get()}) EXPECT_EQ(0, nn_tensor_mapped(t));
        }
}

// ---- quantised nn_dense -----------------------------------------------------

struct QDense {
    nn_type ti, tw, to;
    int M, N, K;
    std::vector<uint8_t> in, w;
    std::vector<int32_t> bias;
    int32_t zin, zw, zout;
    float sin = 0.04f, sw = 0.02f, sout = 0.09f;
    float sb = 0.04f * 0.02f;
    int32_t zb = 0;
};

QDense qdense(nn_type ti, nn_type tw, nn_type to, int M, int N, int K, unsigned seed)
{
    std::mt19937 rng(seed);
    QDense q{ti, tw, to, M, N, K, {}, {}, {}, 0, 0, 0};
    q.in.resize(M * K);
    q.w.resize(K * N);
    for (auto& v : q.in) v = (uint8_t)rng();
    for (auto& v : q.w) v = (uint8_t)rng();
    q.bias.resize(N);
    for (auto& v : q.bias) v = (int32_t)(rng() % 3001) - 1500;
    q.zin = ti == NN_TYPE_U8 ? 120 : -4;
    q.zw = tw == NN_TYPE_U8 ? 131 : 0;
    q.zout = to == NN_TYPE_U8 ? 100 : to == NN_TYPE_I8 ? 3 : 0;
    return q;
}

struct QTensors {
    Tensor out, in, w, b;
    std::vector<int32_t> mult, shift, acc;
};

void quantise(nn_tensor* t, const int32_t* z, const float* s)
{
    nn_tensor_set_zeros(t, 1, const_cast<int32_t*>(z), 0);
    nn_tensor_set_scales(t, 1, const_cast<float*>(s), 0);
}

QTensors qtensors(QDense& q, int M, bool with_bias, bool arrays, bool accum)
{
    QTensors t;
    std::vector<uint8_t> in(q.in.begin(), q.in.begin() + (size_t)M * q.K);
    t.in = make_with(q.ti, {M, q.K}, in);
    t.w = make_with(q.tw, {q.K, q.N}, q.w);
    t.out = make(q.to, {M, q.N});
    quantise(t.in.get(), &q.zin, &q.sin);
    quantise(t.w.get(), &q.zw, &q.sw);
    quantise(t.out.get(), &q.zout, &q.sout);
    if (with_bias) {
        t.b = make_with(NN_TYPE_I32, {q.N}, q.bias);
        quantise(t.b.get(), &q.zb, &q.sb);
    }
    t.mult.resize(q.N);
    t.shift.resize(q.N);
    for (int j = 0; j < q.N; ++j) quantize_multiplier(&t.mult[j], &t.shift[j], q.sw * q.sin / q.sout);
    t.acc.assign(q.N, 0);
    if (arrays) {
        nn_tensor_set_aux_object_by_name(t.w.get(), "filter_multiplier", t.mult.data(), nullptr, false, false);
        nn_tensor_set_aux_object_by_name(t.w.get(), "filter_shifts", t.shift.data(), nullptr, false, false);
    }
    if (accum)
        nn_tensor_set_aux_object_by_name(t.w.get(), "aux_accum_cache", t.acc.data(), nullptr, false, false);
    return t;
}

int64_t qread(const std::vector<uint8_t>& raw, size_t i, nn_type t)
{
    switch (t) {
    case NN_TYPE_I8: return (int8_t)raw[i];
    case NN_TYPE_U8: return raw[i];
    case NN_TYPE_I16: { int16_t v; std::memcpy(&v, &raw[2 * i], 2); return v; }
    case NN_TYPE_I32: { int32_t v; std::memcpy(&v, &raw[4 * i], 4); return v; }
    default: return 0;
    }
}

// Independent expectation: Σ (a − z_in)(w − z_w) + bias − z_b, then the
// fixed-point rescale from the scales, the clamp, the saturating store.
int64_t qexpect(const QDense& q, int i, int j, bool with_bias, int a_)
{
    int64_t s = 0;
    for (int k = 0; k < q.K; ++k) {
        int32_t a = q.ti == NN_TYPE_I8 ? (int8_t)q.in[i * q.K + k] : q.in[i * q.K + k];
        int32_t w = q.tw == NN_TYPE_I8 ? (int8_t)q.w[k * q.N + j] : q.w[k * q.N + j];
        s += (int64_t)(a - q.zin) * (w - q.zw);
    }
    if (with_bias) s += q.bias[j] - q.zb;
    int32_t m, e, m6, e6;
    quantize_multiplier(&m, &e, with_bias ? q.sb / q.sout : (q.sin * q.sw) / q.sout);
    quantize_multiplier(&m6, &e6, 1.0f / q.sout);
    int32_t v = apply_multiplier((int32_t)s, m, e);
    if (a_ == 1 || a_ == 2) v = std::max(v, 0);
    if (a_ == 2) v = std::min(v, apply_multiplier(6, m6, e6));
    int64_t r = (int64_t)v + q.zout;
    switch (q.to) {
    case NN_TYPE_I8: return std::clamp<int64_t>(r, -128, 127);
    case NN_TYPE_U8: return std::clamp<int64_t>(r, 0, 255);
    case NN_TYPE_I16: return std::clamp<int64_t>(r, -32768, 32767);
    default: return r;
    }
}

// The one-row accumulator path and the multi-row GEMM path give the same row
// and both match the reference; without the buffer the row kernel serves.
TEST(DenseQuant, OneRowAccumulatorPathEqualsTwoRowGemm)
{
    struct Types { nn_type ti, tw, to; };
    unsigned seed = 10;
    for (Types ty : {Types{NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8}, Types{NN_TYPE_U8, NN_TYPE_U8, NN_TYPE_U8},
                     Types{NN_TYPE_U8, NN_TYPE_U8, NN_TYPE_I16}, Types{NN_TYPE_I8, NN_TYPE_U8, NN_TYPE_I8}})
        for (int with_bias = 0; with_bias < 2; ++with_bias)
            for (int a_ = 0; a_ <= 2; ++a_)
                for (int accum = 0; accum < 2; ++accum) {
                    QDense q = qdense(ty.ti, ty.tw, ty.to, 2, 21, 37, seed++);
                    QTensors one = qtensors(q, 1, with_bias, false, accum);
                    QTensors two = qtensors(q, 2, with_bias, false, accum);
                    ASSERT_EQ(0, nn_dense(one.out.get(), one.in.get(), one.w.get(), one.b.get(), a_));
                    ASSERT_EQ(0, nn_dense(two.out.get(), two.in.get(), two.w.get(), two.b.get(), a_));
                    auto r1 = read_bytes(one.out.get()), r2 = read_bytes(two.out.get());
                    SCOPED_TRACE(testing::Message() << "types " << ty.ti << "," << ty.tw << "," << ty.to
                                                    << " bias " << with_bias << " act " << a_ << " accum " << accum);
                    for (int j = 0; j < q.N; ++j) {
                        EXPECT_EQ(qexpect(q, 0, j, with_bias, a_), qread(r1, j, q.to)) << j;
                        EXPECT_EQ(qread(r1, j, q.to), qread(r2, j, q.to)) << j;
                        EXPECT_EQ(qexpect(q, 1, j, with_bias, a_), qread(r2, q.N + j, q.to)) << j;
                    }
                    for (nn_tensor* t : {one.out.get(), one.in.get(), one.w.get(), one.b.get()}) {
                        if (t) {
                    EXPECT_EQ(0, nn_tensor_mapped(t));
                }
                    }
                }
}

// With the per-column multipliers the GEMM and the output stage take them.
TEST(DenseQuant, MultiplierArraysAreUsed)
{
    QDense q = qdense(NN_TYPE_U8, NN_TYPE_U8, NN_TYPE_U8, 3, 9, 17, 99);
    for (int M : {1, 3}) {
        QTensors t = qtensors(q, M, true, true, M == 1);
        // doubling every multiplier's exponent doubles the factor
        for (auto& s : t.shift) s += 1;
        ASSERT_EQ(0, nn_dense(t.out.get(), t.in.get(), t.w.get(), t.b.get(), 0));
        auto r = read<uint8_t>(t.out.get());
        for (int i = 0; i < M; ++i)
            for (int j = 0; j < q.N; ++j) {
                int64_t s = 0;
                for (int k = 0; k < q.K; ++k) s += (int64_t)(q.in[i * q.K + k] - q.zin) * (q.w[k * q.N + j] - q.zw);
                s += q.bias[j];
                int64_t v = apply_multiplier((int32_t)s, t.mult[j], t.shift[j]) + q.zout;
                EXPECT_EQ(std::clamp<int64_t>(v, 0, 255), r[i * q.N + j]) << M << " " << j;
            }
    }
}

TEST(DenseQuant, RecordRefusals)
{
    struct Case { const char* what; nn_type to; int break_kind; int want; };
    const Case cases[] = {
        {"float16 output", NN_TYPE_F16, 0, NN_ERROR_TYPE_MISMATCH},
        {"int64 output", NN_TYPE_I64, 0, NN_ERROR_TYPE_MISMATCH},
        {"input without scales", NN_TYPE_I8, 1, NN_ERROR_INVALID_QUANTIZATION},
        {"zero output scale", NN_TYPE_I8, 2, NN_ERROR_INVALID_QUANTIZATION},
        {"NaN weights scale", NN_TYPE_I8, 3, NN_ERROR_INVALID_QUANTIZATION},
        {"short per-channel scales", NN_TYPE_I8, 4, NN_ERROR_INVALID_QUANTIZATION},
        {"short per-channel zero points", NN_TYPE_I8, 5, NN_ERROR_INVALID_QUANTIZATION},
        {"negative bias scale", NN_TYPE_I8, 6, NN_ERROR_INVALID_QUANTIZATION},
    };
    float zero = 0.0f, nan = NAN, neg = -1.0f, two_scales[2] = {0.1f, 0.2f};
    int32_t two_zeros[2] = {0, 0};
    for (const Case& k : cases) {
        QDense q = qdense(NN_TYPE_I8, NN_TYPE_I8, k.to == NN_TYPE_F16 || k.to == NN_TYPE_I64 ? NN_TYPE_I8 : k.to, 2, 5, 4, 1);
        QTensors t = qtensors(q, 2, true, false, false);
        if (k.break_kind == 0) t.out = make(k.to, {2, 5});
        if (k.break_kind == 1) nn_tensor_set_scales(t.in.get(), 0, nullptr, 0);
        if (k.break_kind == 2) nn_tensor_set_scales(t.out.get(), 1, &zero, 0);
        if (k.break_kind == 3) nn_tensor_set_scales(t.w.get(), 1, &nan, 0);
        if (k.break_kind == 4) nn_tensor_set_scales(t.w.get(), 2, two_scales, 0);
        if (k.break_kind == 5) nn_tensor_set_zeros(t.w.get(), 2, two_zeros, 0);
        if (k.break_kind == 6) nn_tensor_set_scales(t.b.get(), 1, &neg, 0);
        void* p = nn_tensor_maprw(t.out.get());
        std::memset(p, 0x3C, nn_tensor_size(t.out.get()));
        nn_tensor_unmap(t.out.get());
        EXPECT_EQ(k.want, nn_dense(t.out.get(), t.in.get(), t.w.get(), t.b.get(), 0)) << k.what;
        EXPECT_EQ(std::vector<uint8_t>(nn_tensor_size(t.out.get()), 0x3C), read_bytes(t.out.get())) << k.what;
        for (nn_tensor* x : {t.out.get(), t.in.get(), t.w.get(), t.b.get()}) EXPECT_EQ(0, nn_tensor_mapped(x));
    }
}

// ---- engine slots ------------------------------------------------------------

std::initializer_list<Slot> kHostSlots = {Slot::kTensorInit, Slot::kTensorRelease, Slot::kAlloc,
                                          Slot::kMapRo, Slot::kMapRw, Slot::kMapWo, Slot::kUnmap};

TEST(DenseEngine, SlotsGetTheOperatorsArgumentsAndStatus)
{
    for (int result : {0, 5, 13}) {
        RecordingEngine eng(kHostSlots);
        for (Slot s : {Slot::kDense, Slot::kLinear, Slot::kMatmul}) {
            eng.Enable(s);
            eng.SetResult(s, result);
        }
        nn_engine* e = eng.engine();
        Tensor out = make(NN_TYPE_F32, {2, 4}, e), in = make(NN_TYPE_F32, {2, 3}, e);
        Tensor w = make(NN_TYPE_F32, {3, 4}, e), b = make(NN_TYPE_F32, {4}, e);
        Tensor cache = make(NN_TYPE_F32, {64});
        eng.ClearCalls();
        EXPECT_EQ(result, nn_dense(out.get(), in.get(), w.get(), b.get(), 2));
        EXPECT_EQ(result, nn_dense(out.get(), in.get(), w.get(), nullptr, 1));
        EXPECT_EQ(result, nn_linear(out.get(), in.get(), w.get(), b.get(), 3));
        EXPECT_EQ(result, nn_matmul(out.get(), in.get(), w.get(), 1, 0));
        EXPECT_EQ(result, nn_matmul_cache(out.get(), cache.get(), in.get(), w.get(), 0, 1));
        EXPECT_EQ("dense dense linear matmul matmul", eng.Sequence());
        auto dense = eng.CallsOf(Slot::kDense);
        ASSERT_EQ(2u, dense.size());
        EXPECT_EQ((std::vector<nn_tensor*>{out.get(), in.get(), w.get(), b.get()}), dense[0].tensors);
        EXPECT_EQ((std::vector<int64_t>{2}), dense[0].ints);
        EXPECT_EQ((std::vector<nn_tensor*>{out.get(), in.get(), w.get(), nullptr}), dense[1].tensors);
        EXPECT_EQ((std::vector<int64_t>{3}), eng.CallsOf(Slot::kLinear)[0].ints);
        auto mm = eng.CallsOf(Slot::kMatmul);
        EXPECT_EQ((std::vector<nn_tensor*>{out.get(), in.get(), w.get()}), mm[1].tensors);
        EXPECT_EQ((std::vector<int64_t>{1, 0}), mm[0].ints);
        EXPECT_EQ((std::vector<int64_t>{0, 1}), mm[1].ints);
    }
}

TEST(DenseEngine, OperandOffTheEngineRunsOnCpu)
{
    RecordingEngine eng(kHostSlots);
    eng.Enable(Slot::kDense);
    eng.Enable(Slot::kLinear);
    eng.Enable(Slot::kMatmul);
    eng.SetResult(Slot::kDense, 13);
    eng.SetResult(Slot::kLinear, 13);
    eng.SetResult(Slot::kMatmul, 13);
    nn_engine* e = eng.engine();
    Tensor out = make(NN_TYPE_F32, {1, 2}, e);
    Tensor in = make_with<float>(NN_TYPE_F32, {1, 2}, {1, 2}, e);
    Tensor w = make_with<float>(NN_TYPE_F32, {2, 2}, {1, 2, 3, 4}, e);
    Tensor b = make_with<float>(NN_TYPE_F32, {2}, {10, 20});  // no engine
    Tensor wc = make_with<float>(NN_TYPE_F32, {2, 2}, {1, 2, 3, 4});  // no engine
    ASSERT_EQ(0, nn_dense(out.get(), in.get(), w.get(), b.get(), 0));
    EXPECT_EQ((std::vector<float>{17, 30}), read<float>(out.get()));
    ASSERT_EQ(0, nn_linear(out.get(), in.get(), w.get(), b.get(), 0));
    EXPECT_EQ((std::vector<float>{15, 31}), read<float>(out.get()));
    ASSERT_EQ(0, nn_matmul(out.get(), in.get(), wc.get(), 0, 0));
    EXPECT_EQ((std::vector<float>{7, 10}), read<float>(out.get()));
    EXPECT_EQ(0u, eng.Count(Slot::kDense) + eng.Count(Slot::kLinear) + eng.Count(Slot::kMatmul));
    for (nn_tensor* t : {out.get(), in.get(), w.get(), b.get(), wc.get()}) EXPECT_EQ(0, nn_tensor_mapped(t));
}

}  // namespace
