// The MobileNet-v1-like network of the benchmarks, written as KFM with the
// test tree's writer, FLOAT32 or per-channel INT8, with its weights and
// input from fixed seeds (the same numbers on every target).
//
// A 224x224x3 input; conv 3x3 stride 2, 3 -> 32; four depthwise 3x3
// (strides 1, 2, 1, 2) + pointwise pairs to 256 channels (RELU6 after each
// convolution, "same" padding with the extra row and column of an even input
// at the end); a global average pool; dense 256 -> 10; softmax.  149 M
// multiply-accumulates.  Filters are [k, k, cin, cout] ([k, k, 1, ch]
// depthwise), value (y, x, i, o) at ((y * k + x) * cin + i) * cout + o; the
// dense weights [256, 10].
#ifndef KESTRUNE_BENCH_MOBILENET_H
#define KESTRUNE_BENCH_MOBILENET_H

#include <cstdint>
#include <vector>

#include "kestrune/nn.h"
#include "kfm_writer.h"

namespace mobilenet {

constexpr float kRelu6Scale = 6.0f / 255.0f;  // RELU6 outputs: [0, 6] on INT8
constexpr int32_t kRelu6Zero = -128;
constexpr float kInputScale = 1.0f / 64.0f;    // INT8 input: [-2, 2)
constexpr float kOutputScale = 1.0f / 256.0f;  // INT8 softmax
constexpr int32_t kOutputZero = -128;
constexpr int kSize = 224;

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


// The float weights of every layer, in the order of kConvs, then the dense.
struct Weights {
    std::vector<std::vector<float>> conv_w, conv_b;
    std::vector<float> dense_w, dense_b;
};
Weights weights();

// The input, [1, 224, 224, 3] in [-1.5, 1.5); the INT8 network takes
// nearbyint(v / kInputScale).
std::vector<float> input();

// input() into the network's input tensor (FLOAT32, or INT8 at kInputScale).
void set_input(nn_tensor* in, bool int8);

// Symmetric per-channel INT8 of `w` (count values, channel = index % ch):
// the values and one scale per channel.
void quantise_weights(const std::vector<float>& w, int ch, std::vector<int8_t>* q,
                      std::vector<float>* scales);

Network build(bool int8);

}  // namespace mobilenet

#endif
