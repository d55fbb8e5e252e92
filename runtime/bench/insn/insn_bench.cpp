// Executed-instruction counts of a MobileNet-v1-like network, layer by layer,
// in FLOAT32 and per-channel INT8.
//
// The network: a 224x224x3 input; conv 3x3 stride 2, 3 -> 32; four
// depthwise 3x3 (strides 1, 2, 1, 2) + pointwise pairs to 256 channels
// (RELU6 after each convolution); a global average pool; dense 256 -> 10;
// softmax.  149 M multiply-accumulates.  Weights come from a fixed seed;
// the models are written with the test tree's KFM writer.
//
// Each network is loaded, run once (the first run prepares filters), then
// run whole and stepped layer by layer between calls of the marker functions
// kestrune_insn_begin and kestrune_insn_end.  Under qemu-aarch64 with the
// insn_count plug-in (run.sh) the plug-in writes each interval's count to the
// file named by KESTRUNE_INSN_COUNTS, and this program prints instructions per
// multiply-accumulate.  Run anywhere else it prints the network's outputs
// alone (the same on every target and CPU model).
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "kfm_writer.h"

extern "C" {
// The plug-in counts from a block starting in kestrune_insn_begin to one in
// kestrune_insn_end: each must stay a function of its own.
__attribute__((noinline, used)) void kestrune_insn_begin(void) { __asm__ volatile(""); }
__attribute__((noinline, used)) void kestrune_insn_end(void) { __asm__ volatile(""); }
}

namespace {

constexpr float kRelu6Scale = 6.0f / 255.0f;  // RELU6 outputs: [0, 6] on INT8
constexpr int32_t kRelu6Zero = -128;

// A small fixed-seed generator (the same numbers on every target).
struct Random {
    uint64_t s = 0x2545f4914f6cdd1dULL;
    float uniform()  // [-1, 1)
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<float>((s >> 40) & 0xffffff) / 8388608.0f - 1.0f;
    }
};

kfm::Parameter ints(const std::string& name, std::vector<int32_t> v)
{
    kfm::Parameter p = kfm::parameter(name);
    p.shape = std::move(v);
    return p;
}

kfm::Parameter text(const std::string& name, const std::string& value)
{
    kfm::Parameter p = kfm::parameter(name);
    p.data_str = std::vector<std::string>{value};
    return p;
}

kfm::Parameter small_int(const std::string& name, int16_t v)
{
    kfm::Parameter p = kfm::parameter(name);
    p.data_i16 = std::vector<int16_t>{v};
    return p;
}

struct Conv {
    const char* name;
    int k, stride, cin, cout;
    bool depthwise;
};

// The convolutions in order; each halves or keeps the spatial size.
constexpr Conv kConvs[] = {
    {"conv 3x3/2, 3->32", 3, 2, 3, 32, false},
    {"depthwise 3x3/1, 32", 3, 1, 32, 32, true},
    {"pointwise 32->64", 1, 1, 32, 64, false},
    {"depthwise 3x3/2, 64", 3, 2, 64, 64, true},
    {"pointwise 64->128", 1, 1, 64, 128, false},
    {"depthwise 3x3/1, 128", 3, 1, 128, 128, true},
    {"pointwise 128->128", 1, 1, 128, 128, false},
    {"depthwise 3x3/2, 128", 3, 2, 128, 128, true},
    {"pointwise 128->256", 1, 1, 128, 256, false},
};
constexpr int kConvCount = sizeof kConvs / sizeof kConvs[0];
constexpr int kClasses = 10;

// One stepped layer of the report: its model index, name and MACs.
struct Step {
    uint32_t layer;
    std::string name;
    double macs;
};

struct Network {
    kfm::Buffer buffer;
    std::vector<Step> steps;
    double macs = 0;
    size_t pool_bytes = 0;  // every activation in a block of its own
};

constexpr uint32_t kBlock = 64;

// Symmetric per-channel INT8 of `w` (count values, channel = index % ch):
// the values and one scale per channel.
void quantise_weights(const std::vector<float>& w, int ch, std::vector<int8_t>* q,
                      std::vector<float>* scales)
{
    scales->assign(static_cast<size_t>(ch), 0.0f);
    for (size_t i = 0; i < w.size(); ++i) {
        float& s = (*scales)[i % static_cast<size_t>(ch)];
        s = std::fmax(s, std::fabs(w[i]));
    }
    for (float& s : *scales)
        s = s > 0 ? s / 127.0f : 1.0f;
    q->resize(w.size());
    for (size_t i = 0; i < w.size(); ++i) {
        const float v = std::nearbyint(w[i] / (*scales)[i % static_cast<size_t>(ch)]);
        (*q)[i] = static_cast<int8_t>(v > 127 ? 127 : v < -127 ? -127 : v);
    }
}

Network build(bool int8)
{
    Random rnd;
    Network net;
    std::vector<kfm::Layer> layers;
    // The layer's output in the memory pool, after every earlier one.
    auto quantise_as = [&](kfm::Layer* l, float scale, int32_t zero) {
        size_t elems = 1;
        for (int32_t d : *l->shape)
            elems *= static_cast<size_t>(d);
        l->mempool_offset = static_cast<uint32_t>(net.pool_bytes / kBlock);
        net.pool_bytes += (elems * (int8 ? 1 : 4) + kBlock - 1) / kBlock * kBlock;
        if (int8) {
            l->datatype = NN_TYPE_I8;
            l->scales = std::vector<float>{scale};
            l->zeros = std::vector<int32_t>{zero};
        } else {
            l->datatype = NN_TYPE_F32;
        }
    };
    // Weights of a layer: FLOAT32, or INT8 per channel with its INT32 bias
    // (scale s_in * s_w[c]).  Returns the indices of the filter and bias.
    auto constants = [&](const std::string& name, std::vector<int32_t> shape,
                         const std::vector<float>& w, const std::vector<float>& bias,
                         float in_scale) {
        const int ch = shape.back();
        kfm::Layer f = kfm::layer(name + "/w", NN_LAYER_CONSTANT, shape);
        kfm::Parameter fd = kfm::parameter("data");
        fd.shape = shape;
        kfm::Layer b = kfm::layer(name + "/b", NN_LAYER_CONSTANT, {ch});
        kfm::Parameter bd = kfm::parameter("data");
        bd.shape = std::vector<int32_t>{ch};
        if (int8) {
            std::vector<int8_t> q;
            std::vector<float> s;
            quantise_weights(w, ch, &q, &s);
            fd.data_i8 = q;
            f.datatype = NN_TYPE_I8;
            f.scales = s;
            f.zeros = std::vector<int32_t>(static_cast<size_t>(ch), 0);
            f.axis = static_cast<int8_t>(shape.size() - 1);
            std::vector<int32_t> qb(static_cast<size_t>(ch));
            std::vector<float> bs(static_cast<size_t>(ch));
            for (int c = 0; c < ch; ++c) {
                bs[static_cast<size_t>(c)] = in_scale * s[static_cast<size_t>(c)];
                qb[static_cast<size_t>(c)] =
                    static_cast<int32_t>(std::nearbyint(bias[static_cast<size_t>(c)] / bs[static_cast<size_t>(c)]));
            }
            bd.data_i32 = qb;
            b.datatype = NN_TYPE_I32;
            b.scales = bs;
            b.zeros = std::vector<int32_t>(static_cast<size_t>(ch), 0);
        } else {
            fd.data_f32 = w;
            f.datatype = NN_TYPE_F32;
            bd.data_f32 = bias;
            b.datatype = NN_TYPE_F32;
        }
        f.parameters = std::vector<kfm::Parameter>{fd};
        b.parameters = std::vector<kfm::Parameter>{bd};
        layers.push_back(f);
        layers.push_back(b);
        return std::make_pair(static_cast<uint32_t>(layers.size() - 2),
                              static_cast<uint32_t>(layers.size() - 1));
    };

    const float in_scale = 1.0f / 64.0f;
    kfm::Layer input = kfm::layer("input", NN_LAYER_INPUT, {1, 224, 224, 3});
    quantise_as(&input, in_scale, 0);
    layers.push_back(input);
    uint32_t prev = 0;
    float prev_scale = in_scale;
    int size = 224;
    for (const Conv& c : kConvs) {
        const int out = c.stride == 2 ? size / 2 : size;
        const int fan_in = c.depthwise ? c.k * c.k : c.k * c.k * c.cin;
        const std::vector<int32_t> shape = c.depthwise
                                               ? std::vector<int32_t>{c.k, c.k, 1, c.cout}
                                               : std::vector<int32_t>{c.k, c.k, c.cin, c.cout};
        std::vector<float> w(static_cast<size_t>(fan_in) * static_cast<size_t>(c.cout));
        const float amp = std::sqrt(6.0f / static_cast<float>(fan_in));
        for (float& v : w)
            v = amp * rnd.uniform();
        std::vector<float> bias(static_cast<size_t>(c.cout));
        for (float& v : bias)
            v = 0.25f * rnd.uniform() + 0.25f;
        const auto fb = constants(c.name, shape, w, bias, prev_scale);
        kfm::Layer l = kfm::layer(c.name, NN_LAYER_CONV2D, {1, out, out, c.cout},
                                  {prev, fb.first, fb.second});
        quantise_as(&l, kRelu6Scale, kRelu6Zero);
        // "same" padding: the extra row and column of an even input at the end
        const int pad_head = c.k == 3 && c.stride == 1 ? 1 : 0;
        const int pad_tail = c.k == 3 ? 1 : 0;
        std::vector<kfm::Parameter> params{ints("strides", {1, c.stride, c.stride, 1}),
                                           ints("head", {0, pad_head, pad_head, 0}),
                                           ints("tail", {0, pad_tail, pad_tail, 0}),
                                           text("activation", "RELU6")};
        if (c.depthwise)
            params.push_back(small_int("groups", static_cast<int16_t>(c.cout)));
        l.parameters = params;
        layers.push_back(l);
        prev = static_cast<uint32_t>(layers.size() - 1);
        prev_scale = kRelu6Scale;
        const double macs = static_cast<double>(out) * out * c.cout * (c.depthwise ? c.k * c.k : c.k * c.k * c.cin);
        net.steps.push_back({prev, c.name, macs});
        net.macs += macs;
        size = out;
    }
    const int ch = kConvs[kConvCount - 1].cout;
    kfm::Layer pool = kfm::layer("average pool", NN_LAYER_POOL2D, {1, 1, 1, ch}, {prev});
    quantise_as(&pool, kRelu6Scale, kRelu6Zero);
    pool.parameters = std::vector<kfm::Parameter>{ints("ksize", {1, size, size, 1}),
                                                  ints("strides", {1, 1, 1, 1}),
                                                  text("pooling", "AVERAGE")};
    layers.push_back(pool);
    prev = static_cast<uint32_t>(layers.size() - 1);
    net.steps.push_back({prev, "average pool", 0});

    std::vector<float> w(static_cast<size_t>(ch) * kClasses), bias(kClasses);
    for (float& v : w)
        v = 0.2f * rnd.uniform();
    for (float& v : bias)
        v = 0.1f * rnd.uniform();
    const auto fb = constants("dense", {ch, kClasses}, w, bias, kRelu6Scale);
    // a view of the pool's output, quantised alike
    kfm::Layer flat = kfm::layer("flatten", NN_LAYER_RESHAPE, {1, ch}, {prev});
    flat.datatype = pool.datatype;
    flat.scales = pool.scales;
    flat.zeros = pool.zeros;
    layers.push_back(flat);
    kfm::Layer dense = kfm::layer("dense 256->10", NN_LAYER_DENSE, {1, kClasses},
                                  {static_cast<uint32_t>(layers.size() - 1), fb.first, fb.second});
    quantise_as(&dense, 1.0f / 16.0f, 0);
    layers.push_back(dense);
    net.steps.push_back({static_cast<uint32_t>(layers.size() - 1), "dense 256->10",
                         static_cast<double>(ch) * kClasses});
    net.macs += static_cast<double>(ch) * kClasses;
    kfm::Layer soft = kfm::layer("softmax", NN_LAYER_SOFTMAX, {1, kClasses},
                                 {static_cast<uint32_t>(layers.size() - 1)});
    quantise_as(&soft, 1.0f / 256.0f, -128);
    layers.push_back(soft);
    net.steps.push_back({static_cast<uint32_t>(layers.size() - 1), "softmax", 0});

    kfm::Model m;
    m.memory_block_size = kBlock;
    m.layers = layers;
    m.outputs = std::vector<uint32_t>{static_cast<uint32_t>(layers.size() - 1)};
    net.buffer = kfm::write(m);
    return net;
}

// The count of the last interval, from the plug-in's file; -1 without one.
double last_count()
{
    static const char* path = std::getenv("KESTRUNE_INSN_COUNTS");
    if (!path)
        return -1;
    FILE* f = std::fopen(path, "r");
    if (!f)
        return -1;
    unsigned long long n = 0;
    const int got = std::fscanf(f, "%llu", &n);
    std::fclose(f);
    return got == 1 ? static_cast<double>(n) : -1;
}

struct Figures {
    std::vector<double> step_insns;
    double whole = -1;
    std::string outputs;
};

bool measure(const Network& net, bool int8, Figures* fig)
{
    nn_context* ctx = nn_context_init(nullptr, net.pool_bytes, nullptr, 16u << 20, nullptr);
    if (!ctx || nn_context_model_load(ctx, net.buffer.size(), net.buffer.data()) != 0) {
        std::fprintf(stderr, "the %s network did not load\n", int8 ? "INT8" : "FLOAT32");
        if (ctx)
            nn_context_release(ctx);
        return false;
    }
    nn_tensor* in = nn_context_tensor_index(ctx, 0);
    Random rnd;
    rnd.s = 0x9e3779b97f4a7c15ULL;
    void* p = nn_tensor_mapwo(in);
    const int32_t volume = nn_tensor_volume(in);
    for (int32_t i = 0; i < volume; ++i) {
        const float v = rnd.uniform() * 1.5f;
        if (int8)
            static_cast<int8_t*>(p)[i] = static_cast<int8_t>(std::nearbyint(v * 64.0f));
        else
            static_cast<float*>(p)[i] = v;
    }
    nn_tensor_unmap(in);
    bool ok = nn_context_run(ctx) == 0;  // prepares the filters
    kestrune_insn_begin();
    ok = ok && nn_context_run(ctx) == 0;
    kestrune_insn_end();
    fig->whole = last_count();
    for (const Step& s : net.steps) {
        kestrune_insn_begin();
        ok = ok && nn_context_step(ctx, s.layer) == 0;
        kestrune_insn_end();
        fig->step_insns.push_back(last_count());
    }
    nn_tensor* out = nn_context_tensor_index(ctx, net.steps.back().layer);
    const void* o = nn_tensor_mapro(out);
    char line[32];
    for (int c = 0; c < kClasses && o; ++c) {
        if (int8)
            std::snprintf(line, sizeof line, " %d", static_cast<const int8_t*>(o)[c]);
        else
            std::snprintf(line, sizeof line, " %.4f", static_cast<const float*>(o)[c]);
        fig->outputs += line;
    }
    nn_tensor_unmap(out);
    nn_context_release(ctx);
    if (!ok)
        std::fprintf(stderr, "the %s network did not run\n", int8 ? "INT8" : "FLOAT32");
    return ok;
}

std::string cell(double insns, double macs)
{
    char b[32];
    if (insns < 0)
        return "-";
    if (macs > 0)
        std::snprintf(b, sizeof b, "%.2f", insns / macs);
    else if (insns < 1e5)
        std::snprintf(b, sizeof b, "%.1f k", insns / 1e3);
    else
        std::snprintf(b, sizeof b, "%.1f M", insns / 1e6);
    return b;
}

}  // namespace

int main()
{
    const Network nets[2] = {build(false), build(true)};
    Figures figs[2];
    for (int t = 0; t < 2; ++t)
        if (!measure(nets[t], t == 1, &figs[t]))
            return 1;
    std::printf("instructions per multiply-accumulate (i/MAC; layers without MACs: instructions)\n\n");
    std::printf("| layer | MACs | FLOAT32 | INT8 |\n|---|---|---|---|\n");
    for (size_t i = 0; i < nets[0].steps.size(); ++i) {
        const Step& s = nets[0].steps[i];
        std::printf("| %s | %.3g M | %s | %s |\n", s.name.c_str(), s.macs / 1e6,
                    cell(figs[0].step_insns[i], s.macs).c_str(),
                    cell(figs[1].step_insns[i], s.macs).c_str());
    }
    std::printf("| whole network | %.1f M | %s | %s |\n", nets[0].macs / 1e6,
                cell(figs[0].whole, 0).c_str(), cell(figs[1].whole, 0).c_str());
    std::printf("| whole network, i/MAC | | %s | %s |\n", cell(figs[0].whole, nets[0].macs).c_str(),
                cell(figs[1].whole, nets[1].macs).c_str());
    std::printf("\nFLOAT32 outputs:%s\nINT8 outputs:%s\n", figs[0].outputs.c_str(),
                figs[1].outputs.c_str());
    return 0;
}
