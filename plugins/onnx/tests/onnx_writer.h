/* ONNX model files for tests, written straight in protobuf's wire format
 * (no protobuf library): a graph of nodes with typed inputs and outputs,
 * node attributes and constant initialisers. */
#ifndef KESTRUNE_ONNX_TEST_WRITER_H
#define KESTRUNE_ONNX_TEST_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

namespace onnxtest {

/* Element types (TensorProto.DataType). */
enum Elem : int32_t {
    FLOAT = 1, UINT8 = 2, INT8 = 3, UINT16 = 4, INT16 = 5, INT32 = 6, INT64 = 7, STRING = 8, BOOL = 9,
    FLOAT16 = 10, DOUBLE = 11, UINT32 = 12, UINT64 = 13, COMPLEX64 = 14, COMPLEX128 = 15, BFLOAT16 = 16,
};

/* A dynamic extent in a value's shape: written as a named dimension. */
constexpr int64_t kDynamic = -1;

/* A graph input or output: name, element type and shape (kDynamic extents
 * become dim_param "d<i>"), or a sequence of such tensors. */
struct Value {
    std::string name;
    int32_t elem = FLOAT;
    std::vector<int64_t> dims;
    bool sequence = false; /* a sequence of such tensors, not a tensor */
};

struct Attribute {
    enum Kind { Float = 1, Int = 2, Floats = 6, Ints = 7 };
    std::string name;
    Kind kind = Int;
    float f = 0.0f;
    int64_t i = 0;
    std::vector<float> floats;
    std::vector<int64_t> ints;

    static Attribute of_int(std::string name, int64_t value);
    static Attribute of_float(std::string name, float value);
    static Attribute of_ints(std::string name, std::vector<int64_t> values);
};

struct Node {
    std::string op;
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
    std::vector<Attribute> attributes;
};

/* A constant: raw little-endian bytes of `dims` elements. */
struct Initializer {
    std::string name;
    int32_t elem = FLOAT;
    std::vector<int64_t> dims;
    std::vector<uint8_t> raw;

    static Initializer of_floats(std::string name, std::vector<int64_t> dims, const std::vector<float>& values);
};

struct Graph {
    std::string name = "test";
    std::vector<Node> nodes;
    std::vector<Value> inputs;
    std::vector<Value> outputs;
    std::vector<Initializer> initializers;
};

/* The model file's bytes (ModelProto) with one default-domain opset. */
std::vector<uint8_t> write_model(const Graph& graph, int64_t opset = 13, int64_t ir_version = 7);
/* write_model into a file; false when it cannot be written. */
bool write_model_file(const std::string& path, const Graph& graph, int64_t opset = 13);

/* A graph of one node from `input` to `output`. */
Graph single_node(const std::string& op, const Value& input, const Value& output,
                  std::vector<Attribute> attributes = {});

} // namespace onnxtest

#endif
