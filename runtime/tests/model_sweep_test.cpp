// Byte-mutation sweep: every mutant of a small model either fails
// verification or is queried in full, loaded, run (when every layer type is
// one the runtime core runs itself) and unloaded; the sanitizer build reports
// any read outside the buffer or any leak.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "kestrune/kfm_schema.h"
#include "kestrune/nn.h"
#include "kfm_test_util.h"
#include "kfm_writer.h"
#include "model/model_internal.h"

namespace {

using kfm::Buffer;

kfm::Model sweep_model()
{
    kfm::Model m;
    m.name = "sweep";
    m.labels = std::vector<std::string>{"a", "bc"};
    m.memory_block_size = 4;
    m.memory_blocks = 8;
    m.cache_minimum_size = 16;
    m.inputs = std::vector<uint32_t>{0};
    m.outputs = std::vector<uint32_t>{5};
    m.resources = std::vector<kfm::Resource>{kfm::alias("x", 1), kfm::resource("r", {1, 2})};
    kfm::Layer in = kfm::layer("in", 1, {4});
    in.mempool_offset = 0;
    kfm::Layer w = kfm::layer("w", 2, {2});
    kfm::Parameter data = kfm::parameter("data");
    data.shape = std::vector<int32_t>{2};
    data.data_f32 = std::vector<float>{1.5f, -2};
    w.parameters = std::vector<kfm::Parameter>{data};
    kfm::Layer cp = kfm::layer("cp", 14, {2}, {0, 1});
    kfm::Layer fl = kfm::layer("fl", 15, {4}, {0});
    kfm::Parameter v = kfm::parameter("value");
    v.data_f32 = std::vector<float>{3};
    fl.parameters = std::vector<kfm::Parameter>{v};
    kfm::Layer q = kfm::layer("q", 16, {4}, {0});
    q.mempool_offset = 4;
    q.datatype = NN_TYPE_I8;
    q.scales = std::vector<float>{0.5f};
    q.zeros = std::vector<int32_t>{0};
    q.axis = 0;
    kfm::Layer rs = kfm::layer("rs", 101, {2, 2}, {4});
    rs.datatype = NN_TYPE_I8;
    rs.scales = std::vector<float>{0.25f};
    rs.zeros = std::vector<int32_t>{1};
    kfm::Layer u = kfm::layer("u", 250, {1}, {0});
    kfm::Parameter op = kfm::parameter("opname");
    op.data_str = std::vector<std::string>{"op"};
    u.parameters = std::vector<kfm::Parameter>{op};
    m.layers = std::vector<kfm::Layer>{in, w, cp, fl, q, rs, u};
    return m;
}

int user_op(nn_context*, const char*, size_t) { return 0; }

// Touches every answer of every query; the sum keeps the reads alive.
size_t query_all(const void* m)
{
    size_t sum = 0, n = 0;
    auto add_str = [&](const char* s) {
        if (s)
            sum += std::string(s).size();
    };
    add_str(nn_model_name(m));
    for (int i = 0; i < nn_model_label_count(m) && i < 64; ++i)
        add_str(nn_model_label(m, i));
    const uint32_t* v = nn_model_inputs(m, &n);
    for (size_t i = 0; v && i < n && i < 64; ++i)
        sum += v[i];
    v = nn_model_outputs(m, &n);
    for (size_t i = 0; v && i < n && i < 64; ++i)
        sum += v[i];
    sum += nn_model_memory_size(m) + nn_model_cache_minimum_size(m) + nn_model_cache_optimum_size(m);
    for (size_t r = 0; r < nn_model_resource_count(m) && r < 64; ++r) {
        const void* res = nn_model_resource_at(m, r);
        add_str(nn_model_resource_name(res));
        add_str(nn_model_resource_meta(res));
        add_str(nn_model_resource_mime(res));
        const uint8_t* d = nn_model_resource_data(res, &n);
        for (size_t i = 0; d && i < n && i < 64; ++i)
            sum += d[i];
        if (nn_model_resource_name(res))
            sum += nn_model_resource(m, nn_model_resource_name(res)) != nullptr;
    }
    for (size_t l = 0; l < nn_model_layer_count(m) && l < 64; ++l) {
        add_str(nn_model_layer_name(m, l));
        add_str(nn_model_layer_type(m, l));
        add_str(nn_model_layer_datatype(m, l));
        sum += nn_model_layer_type_id(m, l) + nn_model_layer_datatype_id(m, l) + nn_model_layer_axis(m, l);
        const int32_t* s = nn_model_layer_shape(m, l, &n);
        for (size_t i = 0; s && i < n && i < 64; ++i)
            sum += s[i];
        const int32_t* z = nn_model_layer_zeros(m, l, &n);
        for (size_t i = 0; z && i < n && i < 64; ++i)
            sum += z[i];
        const float* f = nn_model_layer_scales(m, l, &n);
        for (size_t i = 0; f && i < n && i < 64; ++i)
            sum += f[i] > 0;
        const uint32_t* in = nullptr;
        size_t count = nn_model_layer_inputs(m, l, &in);
        for (size_t i = 0; i < count && i < 64; ++i)
            sum += in[i];
        if (nn_model_layer_name(m, l))
            sum += nn_model_layer_lookup(m, nn_model_layer_name(m, l));
        const uint8_t* params = model_layer_parameters(m, l);
        for (int p = 0; params && p < 64; ++p) {
            const void* par = layer_parameter_at(params, p);
            if (!par)
                break;
            sum += nn_model_parameter_shape(par, &n) ? n : 0;
            sum += nn_model_parameter_data_f32(par, &n) ? n : 0;
            sum += nn_model_parameter_data_i32(par, &n) ? n : 0;
            sum += nn_model_parameter_data_i16(par, &n) ? n : 0;
            sum += nn_model_parameter_data_raw(par, &n) ? n : 0;
            sum += nn_model_parameter_data_i8(par, &n) ? n : 0;
            for (size_t i = 0; i < nn_model_parameter_data_str_len(par) && i < 64; ++i)
                add_str(nn_model_parameter_data_str(par, i));
        }
    }
    return sum;
}

bool runnable_types(const void* m)
{
    static const std::set<int> own = {0, 1, 2, 3, 14, 15, 16, 17, 101, 102, 250};
    for (size_t l = 0; l < nn_model_layer_count(m); ++l)
        if (!own.count(nn_model_layer_type_id(m, l)))
            return false;
    return true;
}

// One context for every mutant: each load follows the previous unload.
void exercise(nn_context* ctx, const Buffer& b, size_t* valid, size_t* loaded)
{
    if (nn_model_validate(b.data(), b.size()) != 0)
        return;
    ++*valid;
    query_all(b.data());
    if (nn_context_model_load(ctx, b.size(), b.data()) == 0) {
        ++*loaded;
        if (runnable_types(b.data())) {
            nn_context_run(ctx);
            for (size_t l = 0; l < nn_model_layer_count(b.data()); ++l)
                nn_context_step(ctx, l);
        }
    }
    nn_context_model_unload(ctx);
}

TEST(ModelSweep, EveryByteMutantIsSafe)
{
    Buffer good = kfm::write(sweep_model());
    ASSERT_EQ(nn_model_validate(good.data(), good.size()), 0);
    {
        nn_context* ctx = nn_context_init(nullptr, 2048, nullptr, 64, nullptr);
        nn_context_user_ops_register(ctx, user_op);
        ASSERT_EQ(nn_context_model_load(ctx, good.size(), good.data()), 0);
        EXPECT_EQ(nn_context_run(ctx), 0);
        nn_context_release(ctx);
    }
    size_t valid = 0, loaded = 0, mutants = 0;
    nn_context* ctx = nn_context_init(nullptr, 2048, nullptr, 64, nullptr);
    ASSERT_NE(ctx, nullptr);
    nn_context_user_ops_register(ctx, user_op);
    auto s = kfm_test::capture([&] {
        for (size_t i = 0; i < good.size(); ++i) {
            const uint8_t orig = good.data()[i];
            for (uint8_t value : {uint8_t(orig ^ 0x01), uint8_t(orig ^ 0x80), uint8_t(0x00),
                                  uint8_t(0xFF)}) {
                if (value == orig)
                    continue;
                Buffer b = good.copy();
                b.data()[i] = value;
                ++mutants;
                exercise(ctx, b, &valid, &loaded);
            }
        }
        for (size_t n = 0; n < good.size(); ++n) {
            ++mutants;
            exercise(ctx, good.truncated(n), &valid, &loaded);
        }
    });
    nn_context_release(ctx);
    // The sweep has to reach the loader, not only the verifier.
    EXPECT_GT(valid, mutants / 10);
    EXPECT_GT(loaded, valid / 4);
    RecordProperty("mutants", static_cast<int>(mutants));
}

}  // namespace
