#include <gtest/gtest.h>

#include <omp.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "tensor_ops_fixture.h"

namespace {

using testfx::Tensor;

typedef int (*binary_fn)(nn_tensor*, nn_tensor*, nn_tensor*);
const binary_fn kOps[4] = {nn_add, nn_subtract, nn_multiply, nn_divide};

float OpF(int op, float a, float b)
{
    switch (op) {
    case 0: return a + b;
    case 1: return a - b;
    case 2: return a * b;
    default: return a / b;
    }
}

int64_t OpI(int op, int64_t a, int64_t b)
{
    switch (op) {
    case 0: return a + b;
    case 1: return a - b;
    case 2: return a * b;
    default: return b == 0 ? 0 : a / b;  // truncation toward zero
    }
}

// One broadcasting case: shapes and, for output element i, the elements of
// A and B it combines.
struct Case {
    const char* name;
    std::vector<int32_t> a, b, o;
    std::vector<int32_t> o_after;  // O's shape after the call
    std::function<std::pair<int, int>(int)> pick;
};

int Volume(const std::vector<int32_t>& s)
{
    int v = 1;
    for (int32_t e : s)
        v *= e;
    return v;
}

std::vector<int32_t> Padded(std::vector<int32_t> s)
{
    while (s.size() < 4)
        s.push_back(1);
    return s;
}

std::vector<Case> Cases()
{
    return {
        {"channel vector", {1, 2, 2, 3}, {3}, {1, 2, 2, 3}, {1, 2, 2, 3},
         [](int i) { return std::make_pair(i, i % 3); }},
        {"both single", {1}, {1, 1}, {1}, {1}, [](int) { return std::make_pair(0, 0); }},
        {"A single", {1}, {3}, {3}, {3}, [](int i) { return std::make_pair(0, i); }},
        {"B single", {2, 2}, {1}, {2, 2}, {2, 2}, [](int i) { return std::make_pair(i, 0); }},
        {"same shape", {2, 3}, {2, 3}, {2, 3}, {2, 3}, [](int i) { return std::make_pair(i, i); }},
        {"first extent, A along it", {2}, {2, 3}, {6}, {2, 3},
         [](int i) { return std::make_pair(i / 3, i); }},
        {"first extent, B along it", {2, 3}, {2}, {6}, {2, 3},
         [](int i) { return std::make_pair(i, i / 3); }},
        {"general, equal innermost", {2, 3}, {3}, {2, 3}, {2, 3},
         [](int i) { return std::make_pair(i, i % 3); }},
        {"general, unequal innermost", {2, 1}, {1, 3}, {6}, {6},
         [](int i) { return std::make_pair(i / 3, i % 3); }},
        {"general, equal once padded", {2, 3}, {1, 2, 3}, {6}, {6},
         [](int i) { return std::make_pair(i, i); }},
        {"general, four dimensions", {2, 2, 1, 3}, {1, 2, 1, 3}, {2, 2, 1, 3}, {2, 2, 1, 3},
         [](int i) { return std::make_pair(i, i % 6); }},
    };
}

TEST(Binary, FloatBroadcastCases)
{
    for (const Case& c : Cases())
        for (int op = 0; op < 4; ++op) {
            Tensor a(NN_TYPE_F32, c.a), b(NN_TYPE_F32, c.b), o(NN_TYPE_F32, c.o);
            std::vector<float> va, vb;
            for (int i = 0; i < Volume(c.a); ++i)
                va.push_back((float)(i + 1) * 1.5f);
            for (int i = 0; i < Volume(c.b); ++i)
                vb.push_back((float)(i + 1) * -0.75f);
            a.set(va);
            b.set(vb);
            ASSERT_EQ(kOps[op](o, a, b), 0) << c.name << " op " << op;
            std::vector<float> got = o.get<float>();
            for (int i = 0; i < Volume(c.o); ++i) {
                auto p = c.pick(i);
                EXPECT_EQ(got[i], OpF(op, va[p.first], vb[p.second]))
                    << c.name << " op " << op << " at " << i;
            }
            EXPECT_EQ(a.shape(), Padded(c.a)) << c.name;
            EXPECT_EQ(a->dims, (int)c.a.size()) << c.name;
            EXPECT_EQ(b.shape(), Padded(c.b)) << c.name;
            EXPECT_EQ(b->dims, (int)c.b.size()) << c.name;
            EXPECT_EQ(o.shape(), Padded(c.o_after)) << c.name;
            EXPECT_EQ(o->dims, (int)c.o_after.size()) << c.name;
            EXPECT_EQ(nn_tensor_mapped(o) + nn_tensor_mapped(a) + nn_tensor_mapped(b), 0);
        }
}

TEST(Binary, QuantisedBroadcastCasesWithMixedElementSizes)
{
    for (const Case& c : Cases())
        for (int op = 0; op < 4; ++op) {
            Tensor a(NN_TYPE_I16, c.a), b(NN_TYPE_I8, c.b), o(NN_TYPE_I32, c.o);
            a.quant({0}, {1.0f});
            b.quant({0}, {1.0f});
            o.quant({0}, {1.0f});
            std::vector<int16_t> va;
            std::vector<int8_t> vb;
            for (int i = 0; i < Volume(c.a); ++i)
                va.push_back((int16_t)(i * 37 - 50));
            for (int i = 0; i < Volume(c.b); ++i)
                vb.push_back((int8_t)(i % 2 ? -(i + 2) : i + 3));
            a.set(va);
            b.set(vb);
            ASSERT_EQ(kOps[op](o, a, b), 0) << c.name << " op " << op;
            std::vector<int32_t> got = o.get<int32_t>();
            for (int i = 0; i < Volume(c.o); ++i) {
                auto p = c.pick(i);
                EXPECT_EQ(got[i], OpI(op, va[p.first], vb[p.second]))
                    << c.name << " op " << op << " at " << i;
            }
            EXPECT_EQ(a.shape(), Padded(c.a)) << c.name;
            EXPECT_EQ(b.shape(), Padded(c.b)) << c.name;
            EXPECT_EQ(o.shape(), Padded(c.o_after)) << c.name;
            EXPECT_EQ(nn_tensor_mapped(o) + nn_tensor_mapped(a) + nn_tensor_mapped(b), 0);
        }
}

TEST(Binary, EdgeValues)
{
    Tensor a(NN_TYPE_F32, {1}), b(NN_TYPE_F32, {3}), o(NN_TYPE_F32, {3});
    a.set<float>({10});
    b.set<float>({1, 2, 3});
    ASSERT_EQ(nn_subtract(o, a, b), 0);
    EXPECT_EQ(o.get<float>(), (std::vector<float>{9, 8, 7}));
    ASSERT_EQ(nn_divide(o, a, b), 0);
    EXPECT_EQ(o.get<float>(), (std::vector<float>{10, 5, 10.0f / 3.0f}));
}

TEST(Binary, BroadcastFailure)
{
    for (int quant = 0; quant < 2; ++quant) {
        nn_type t = quant ? NN_TYPE_I8 : NN_TYPE_F32;
        Tensor a(t, {2, 3}), b(t, {4}), o(t, {8});
        a.quant({0}, {1.0f});
        b.quant({0}, {1.0f});
        o.quant({0}, {1.0f});
        int status = 0;
        testfx::Output out = testfx::Capture([&] { status = nn_add(o, a, b); });
        EXPECT_EQ(status, NN_ERROR_SHAPE_MISMATCH);
        EXPECT_EQ(out.out, "unable broadcast using A(2)=[1 1 2 3] B(1)=[1 1 1 4]\n");
        EXPECT_EQ(out.err, "");
        EXPECT_EQ(a->dims, 2);
        EXPECT_EQ(b->dims, 1);
        EXPECT_EQ(a.shape(), (std::vector<int32_t>{2, 3, 1, 1}));
        EXPECT_EQ(b.shape(), (std::vector<int32_t>{4, 1, 1, 1}));
        EXPECT_EQ(o.shape(), (std::vector<int32_t>{8, 1, 1, 1}));
        EXPECT_EQ(nn_tensor_mapped(o) + nn_tensor_mapped(a) + nn_tensor_mapped(b), 0);
    }
}

TEST(Binary, FirstExtentOutputTooSmall)
{
    for (int quant = 0; quant < 2; ++quant) {
        nn_type t = quant ? NN_TYPE_I8 : NN_TYPE_F32;
        Tensor a(t, {2}), b(t, {2, 3}), o(t, {5});
        a.quant({0}, {1.0f});
        b.quant({0}, {1.0f});
        o.quant({0}, {1.0f});
        int status = 0;
        testfx::Output out = testfx::Capture([&] { status = nn_add(o, a, b); });
        EXPECT_EQ(status, NN_ERROR_INVALID_SHAPE);
        EXPECT_EQ(out.err, "output volume 5 insufficient for shape [2 3 1 1]\n");
        EXPECT_EQ(out.out, "");
        EXPECT_EQ(o->dims, 1);
        // the flat cases check the output too
        Tensor same(t, {6}), small(t, {5});
        same.quant({0}, {1.0f});
        EXPECT_EQ(nn_add(small, same, same), NN_ERROR_INVALID_SHAPE);
        EXPECT_EQ(nn_tensor_mapped(o) + nn_tensor_mapped(a) + nn_tensor_mapped(small), 0);
    }
}

// In place through the general case: every tensor ends with its own shape.
TEST(Binary, InPlaceCalls)
{
    Tensor a(NN_TYPE_F32, {2, 3}), b(NN_TYPE_F32, {3});
    a.set<float>({1, 2, 3, 4, 5, 6});
    b.set<float>({10, 20, 30});
    ASSERT_EQ(nn_add(a, a, b), 0);
    EXPECT_EQ(a.get<float>(), (std::vector<float>{11, 22, 33, 14, 25, 36}));
    EXPECT_EQ(a->dims, 2);
    EXPECT_EQ(a.shape(), (std::vector<int32_t>{2, 3, 1, 1}));
    ASSERT_EQ(nn_multiply(a, a, a), 0);
    EXPECT_EQ(a.get<float>()[0], 121.0f);

    Tensor q(NN_TYPE_I8, {2, 3}), r(NN_TYPE_I8, {3});
    q.quant({0}, {1.0f});
    r.quant({0}, {1.0f});
    q.set<int8_t>({1, 2, 3, 4, 5, 6});
    r.set<int8_t>({1, 1, 2});
    ASSERT_EQ(nn_subtract(q, q, r), 0);
    EXPECT_EQ(q.get<int8_t>(), (std::vector<int8_t>{0, 1, 1, 3, 4, 4}));
    EXPECT_EQ(q->dims, 2);
    EXPECT_EQ(q.shape(), (std::vector<int32_t>{2, 3, 1, 1}));
}

struct QuantCase {
    const char* name;
    nn_type ta, tb, to;
    float sa, sb, so;
    int32_t za, zb, zo;
    int op;
    int64_t a, b, want;
};

TEST(Binary, QuantisedValues)
{
    const QuantCase cases[] = {
        {"u8 add saturates high", NN_TYPE_U8, NN_TYPE_U8, NN_TYPE_U8, 1, 1, 1, 0, 0, 0, 0, 200, 100, 255},
        {"u8 add saturates low", NN_TYPE_U8, NN_TYPE_U8, NN_TYPE_U8, 1, 1, 1, 0, 10, 0, 0, 3, 3, 0},
        {"i32 add overflow", NN_TYPE_I32, NN_TYPE_I32, NN_TYPE_I32, 1, 1, 1, 0, 0, 0, 0, INT32_MAX, 1, INT32_MAX},
        {"i32 subtract overflow", NN_TYPE_I32, NN_TYPE_I32, NN_TYPE_I32, 1, 1, 1, 0, 0, 0, 1, INT32_MIN, 1, INT32_MIN},
        {"u16 above 65535", NN_TYPE_U16, NN_TYPE_U16, NN_TYPE_U16, 1, 1, 1, 0, 0, 0, 0, 60000, 10000, 65535},
        {"equal scales, no rescale", NN_TYPE_I16, NN_TYPE_I16, NN_TYPE_I16, 0.3f, 0.3f, 0.3f, 0, 0, 0, 0, 1001, 999, 2000},
        {"scales within 1e-5", NN_TYPE_I16, NN_TYPE_I16, NN_TYPE_I16, 1.0f, 1.0f, 1.000005f, 0, 0, 0, 0, 20001, 1, 20002},
        {"zero points", NN_TYPE_U8, NN_TYPE_U8, NN_TYPE_U8, 1, 1, 1, 128, 100, 7, 0, 130, 101, 10},
        {"divide truncates", NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, 1, 1, 1, 0, 0, 0, 3, 7, 2, 3},
        {"divide negative truncates", NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, 1, 1, 1, 0, 0, 0, 3, -7, 2, -3},
        {"divide rescaled", NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, 1.5f, 1, 1, 0, 0, 0, 3, 7, 2, 5},
        {"divide by zero", NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, 1, 1, 1, 0, 0, 0, 3, 7, 0, 127},
        {"zero by zero", NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_I8, 1, 1, 1, 0, 0, 4, 3, 0, 0, 4},
        {"multiply rescaled", NN_TYPE_I16, NN_TYPE_I16, NN_TYPE_I16, 0.5f, 0.5f, 1, 0, 0, 0, 2, 6, 3, 5},
        {"add rescaled", NN_TYPE_I16, NN_TYPE_I16, NN_TYPE_I16, 0.5f, 0.25f, 1, 0, 0, 0, 0, 5, 5, 5},  // 3 + 2
        // the INT8 fast kernels only run into an INT8 output: UINT8 stores 200
        {"i8 inputs into u8", NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_U8, 1, 1, 1, 0, 0, 0, 0, 100, 100, 200},
        {"i8 multiply into u8", NN_TYPE_I8, NN_TYPE_I8, NN_TYPE_U8, 1, 1, 1, 0, 0, 0, 2, 10, 20, 200},
    };
    for (const auto& c : cases) {
        Tensor a(c.ta, {1}), b(c.tb, {1}), o(c.to, {1});
        a.quant({c.za}, {c.sa});
        b.quant({c.zb}, {c.sb});
        o.quant({c.zo}, {c.so});
        auto put = [](Tensor& t, int64_t v) {
            memset(t->data, 0, nn_tensor_size(t));
            int32_t x = (int32_t)v;
            memcpy(t->data, &x, nn_tensor_element_size(t));  // little-endian low bytes
        };
        put(a, c.a);
        put(b, c.b);
        ASSERT_EQ(kOps[c.op](o, a, b), 0) << c.name;
        int64_t got = 0;
        switch (c.to) {
        case NN_TYPE_I8: got = *o.data<int8_t>(); break;
        case NN_TYPE_U8: got = *o.data<uint8_t>(); break;
        case NN_TYPE_I16: got = *o.data<int16_t>(); break;
        case NN_TYPE_U16: got = *o.data<uint16_t>(); break;
        default: got = *o.data<int32_t>(); break;
        }
        EXPECT_EQ(got, c.want) << c.name;
    }
}

// Quantised rows and broadcast rows run in parallel regions: any team size
// gives the same bytes.
TEST(Binary, QuantisedThreadCountsAgree)
{
    std::vector<std::vector<int8_t>> results;
    for (int threads : {1, 3, 8}) {
        omp_set_num_threads(threads);
        Tensor a(NN_TYPE_I8, {5, 7, 3, 8}), b(NN_TYPE_I8, {8}), c(NN_TYPE_I8, {1, 7, 1, 8});
        Tensor o1(NN_TYPE_I8, {5, 7, 3, 8}), o2(NN_TYPE_I8, {5, 7, 3, 8});
        a.quant({3}, {0.07f});
        b.quant({-2}, {0.05f});
        c.quant({1}, {0.11f});
        o1.quant({0}, {0.1f});
        o2.quant({0}, {0.1f});
        std::vector<int8_t> va(5 * 7 * 3 * 8), vc(56), vb(8);
        for (size_t i = 0; i < va.size(); ++i)
            va[i] = (int8_t)((i * 73) % 251);
        for (size_t i = 0; i < vc.size(); ++i)
            vc[i] = (int8_t)(i * 5);
        for (int i = 0; i < 8; ++i)
            vb[i] = (int8_t)(i * 31);
        a.set(va);
        b.set(vb);
        c.set(vc);
        ASSERT_EQ(nn_add(o1, a, b), 0);       // channel vector rows
        ASSERT_EQ(nn_multiply(o2, a, c), 0);  // general broadcast rows
        std::vector<int8_t> all = o1.get<int8_t>();
        std::vector<int8_t> second = o2.get<int8_t>();
        all.insert(all.end(), second.begin(), second.end());
        results.push_back(all);
    }
    omp_set_num_threads(omp_get_num_procs());
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(results[0], results[2]);
}

}  // namespace
