// A small TensorFlow Lite model writer for test fixtures: tensors, buffers,
// operators and one subgraph, written as raw flatbuffer tables with the
// field numbers of the public TensorFlow Lite schema ("TFL3" identifier).
// Operator codes are written both in the old byte field and in the 32-bit
// field, so older and newer readers find them.
#ifndef TFLITE_TEST_WRITER_H
#define TFLITE_TEST_WRITER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tflite_test {

// Tensor element types, by their schema values.
enum class TensorType : int8_t {
    float32 = 0,
    float16 = 1,
    int32 = 2,
    uint8 = 3,
    int64 = 4,
    string = 5,
    boolean = 6,
    int16 = 7,
    complex64 = 8,
    int8 = 9,
};

// Built-in operators, by their schema values (the ones the fixtures use).
enum class BuiltinOp : int32_t {
    add = 0,
    average_pool_2d = 1,
    max_pool_2d = 17,
    reshape = 22,
    softmax = 25,
};

struct Quantization {
    std::vector<float> scale;
    std::vector<int64_t> zero_point;
};

struct Tensor {
    std::string name;
    std::vector<int32_t> shape;
    TensorType type = TensorType::float32;
    std::optional<Quantization> quantization;
    std::vector<uint8_t> data;  // constant contents; empty for activations
};

// Pool2DOptions: padding VALID (or SAME), strides and window.
struct Pool2D {
    bool valid = true;
    int32_t stride_w = 1, stride_h = 1;
    int32_t filter_w = 1, filter_h = 1;
};

struct Operator {
    BuiltinOp op = BuiltinOp::add;
    std::vector<int32_t> inputs, outputs;  // tensor indices
    std::optional<Pool2D> pool;            // AVERAGE/MAX_POOL_2D
    std::optional<float> softmax_beta;     // SOFTMAX
};

struct Model {
    std::vector<Tensor> tensors;
    std::vector<Operator> operators;
    std::vector<int32_t> inputs, outputs;  // subgraph inputs and outputs
    std::string description = "test fixture";
};

// The model file's bytes.
std::vector<uint8_t> write(const Model& model);
// Writes `bytes` to `path`; false when it cannot.
bool write_file(const std::string& path, const std::vector<uint8_t>& bytes);

// ---- fixtures --------------------------------------------------------------

// Quantisation of the 8-bit fixtures: scale 1/255, zero point 0 (uint8) or
// -128 (int8).
std::optional<Quantization> byte_quantization(TensorType type);

// "input" [1,h,w,c] -> AVERAGE_POOL_2D (VALID, stride 1, window h x w) ->
// "output" [1,1,1,c]; with `outputs` > 1 the input feeds that many pools,
// named "output0", "output1", ...
Model pool_model(TensorType type, int h = 4, int w = 4, int c = 3, int outputs = 1);
// "input_a" + "input_b" -> "output", all float32 [1,2,2,3].
Model add_model();
// "input" [1,n] -> SOFTMAX (beta 1) -> "output" [1,n], float32.
Model softmax_model(int n = 3);

}  // namespace tflite_test

#endif
