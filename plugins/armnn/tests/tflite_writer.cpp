#include "tflite_writer.h"

#include <flatbuffers/flatbuffers.h>

#include <algorithm>
#include <cstdio>

namespace tflite_test {
namespace {

using flatbuffers::FlatBufferBuilder;
using flatbuffers::Offset;
using Table = Offset<void>;

// The vtable slot of a table's field number n.
constexpr flatbuffers::voffset_t field(int n)
{
    return static_cast<flatbuffers::voffset_t>(4 + 2 * n);
}

// Field numbers of the schema tables written here.
namespace model_f { constexpr int version = 0, operator_codes = 1, subgraphs = 2, description = 3, buffers = 4; }
namespace opcode_f { constexpr int deprecated_builtin_code = 0, version = 2, builtin_code = 3; }
namespace subgraph_f { constexpr int tensors = 0, inputs = 1, outputs = 2, operators = 3, name = 4; }
namespace tensor_f { constexpr int shape = 0, type = 1, buffer = 2, name = 3, quantization = 4; }
namespace quant_f { constexpr int scale = 2, zero_point = 3; }
namespace operator_f { constexpr int opcode_index = 0, inputs = 1, outputs = 2, options_type = 3, options = 4; }
namespace buffer_f { constexpr int data = 0; }
namespace pool_f { constexpr int padding = 0, stride_w = 1, stride_h = 2, filter_w = 3, filter_h = 4, activation = 5; }
namespace softmax_f { constexpr int beta = 0; }

// BuiltinOptions union members.
constexpr uint8_t options_none = 0, options_pool2d = 5, options_softmax = 9, options_add = 11;
// Padding values.
constexpr int8_t padding_same = 0, padding_valid = 1;

Table end(FlatBufferBuilder& b, flatbuffers::uoffset_t start)
{
    return Table(b.EndTable(start));
}

Table write_quantization(FlatBufferBuilder& b, const Quantization& q)
{
    auto scale = b.CreateVector(q.scale);
    auto zero = b.CreateVector(q.zero_point);
    auto start = b.StartTable();
    b.AddOffset(field(quant_f::scale), scale);
    b.AddOffset(field(quant_f::zero_point), zero);
    return end(b, start);
}

Table write_tensor(FlatBufferBuilder& b, const Tensor& t, uint32_t buffer)
{
    auto shape = b.CreateVector(t.shape);
    auto name = b.CreateString(t.name);
    Table quant = t.quantization ? write_quantization(b, *t.quantization) : Table();
    auto start = b.StartTable();
    b.AddOffset(field(tensor_f::shape), shape);
    b.AddElement<int8_t>(field(tensor_f::type), static_cast<int8_t>(t.type), 0);
    b.AddElement<uint32_t>(field(tensor_f::buffer), buffer, 0);
    b.AddOffset(field(tensor_f::name), name);
    if (t.quantization)
        b.AddOffset(field(tensor_f::quantization), quant);
    return end(b, start);
}

// (union type, options table) of an operator.
std::pair<uint8_t, Table> write_options(FlatBufferBuilder& b, const Operator& op)
{
    if (op.pool) {
        const Pool2D& p = *op.pool;
        auto start = b.StartTable();
        b.AddElement<int8_t>(field(pool_f::padding), p.valid ? padding_valid : padding_same, 0);
        b.AddElement<int32_t>(field(pool_f::stride_w), p.stride_w, 0);
        b.AddElement<int32_t>(field(pool_f::stride_h), p.stride_h, 0);
        b.AddElement<int32_t>(field(pool_f::filter_w), p.filter_w, 0);
        b.AddElement<int32_t>(field(pool_f::filter_h), p.filter_h, 0);
        b.AddElement<int8_t>(field(pool_f::activation), 0, 0);
        return {options_pool2d, end(b, start)};
    }
    if (op.softmax_beta) {
        auto start = b.StartTable();
        b.AddElement<float>(field(softmax_f::beta), *op.softmax_beta, 0.0f);
        return {options_softmax, end(b, start)};
    }
    if (op.op == BuiltinOp::add) {
        auto start = b.StartTable();  // fused activation NONE
        return {options_add, end(b, start)};
    }
    return {options_none, Table()};
}

Table write_operator(FlatBufferBuilder& b, const Operator& op, uint32_t opcode_index)
{
    auto inputs = b.CreateVector(op.inputs);
    auto outputs = b.CreateVector(op.outputs);
    auto [type, options] = write_options(b, op);
    auto start = b.StartTable();
    b.AddElement<uint32_t>(field(operator_f::opcode_index), opcode_index, 0);
    b.AddOffset(field(operator_f::inputs), inputs);
    b.AddOffset(field(operator_f::outputs), outputs);
    b.AddElement<uint8_t>(field(operator_f::options_type), type, 0);
    if (type != options_none)
        b.AddOffset(field(operator_f::options), options);
    return end(b, start);
}

Table write_opcode(FlatBufferBuilder& b, BuiltinOp op)
{
    const auto code = static_cast<int32_t>(op);
    auto start = b.StartTable();
    // The byte field holds codes below 127, the 32-bit field every code.
    b.AddElement<int8_t>(field(opcode_f::deprecated_builtin_code), static_cast<int8_t>(std::min(code, 127)), 0);
    b.AddElement<int32_t>(field(opcode_f::version), 1, 1);
    b.AddElement<int32_t>(field(opcode_f::builtin_code), code, 0);
    return end(b, start);
}

Table write_buffer(FlatBufferBuilder& b, const std::vector<uint8_t>& data)
{
    Offset<flatbuffers::Vector<uint8_t>> bytes;
    if (!data.empty()) {
        b.ForceVectorAlignment(data.size(), 1, 16);  // constants 16-byte aligned
        bytes = b.CreateVector(data);
    }
    auto start = b.StartTable();
    if (!data.empty())
        b.AddOffset(field(buffer_f::data), bytes);
    return end(b, start);
}

}  // namespace

std::vector<uint8_t> write(const Model& model)
{
    FlatBufferBuilder b;
    // Buffer 0 is the empty one every activation tensor names.
    std::vector<Table> buffers{write_buffer(b, {})};
    std::vector<Table> tensors;
    for (const Tensor& t : model.tensors) {
        uint32_t buffer = 0;
        if (!t.data.empty()) {
            buffer = static_cast<uint32_t>(buffers.size());
            buffers.push_back(write_buffer(b, t.data));
        }
        tensors.push_back(write_tensor(b, t, buffer));
    }
    std::vector<BuiltinOp> codes;
    std::vector<Table> operators;
    for (const Operator& op : model.operators) {
        auto it = std::find(codes.begin(), codes.end(), op.op);
        if (it == codes.end())
            it = codes.insert(codes.end(), op.op);
        operators.push_back(write_operator(b, op, static_cast<uint32_t>(it - codes.begin())));
    }
    std::vector<Table> opcodes;
    for (BuiltinOp op : codes)
        opcodes.push_back(write_opcode(b, op));

    auto tensor_vec = b.CreateVector(tensors);
    auto inputs = b.CreateVector(model.inputs);
    auto outputs = b.CreateVector(model.outputs);
    auto operator_vec = b.CreateVector(operators);
    auto name = b.CreateString("main");
    auto start = b.StartTable();
    b.AddOffset(field(subgraph_f::tensors), tensor_vec);
    b.AddOffset(field(subgraph_f::inputs), inputs);
    b.AddOffset(field(subgraph_f::outputs), outputs);
    b.AddOffset(field(subgraph_f::operators), operator_vec);
    b.AddOffset(field(subgraph_f::name), name);
    std::vector<Table> subgraphs{end(b, start)};

    auto opcode_vec = b.CreateVector(opcodes);
    auto subgraph_vec = b.CreateVector(subgraphs);
    auto description = b.CreateString(model.description);
    auto buffer_vec = b.CreateVector(buffers);
    start = b.StartTable();
    b.AddElement<uint32_t>(field(model_f::version), 3, 0);
    b.AddOffset(field(model_f::operator_codes), opcode_vec);
    b.AddOffset(field(model_f::subgraphs), subgraph_vec);
    b.AddOffset(field(model_f::description), description);
    b.AddOffset(field(model_f::buffers), buffer_vec);
    b.Finish(end(b, start), "TFL3");
    return std::vector<uint8_t>(b.GetBufferPointer(), b.GetBufferPointer() + b.GetSize());
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// ---- fixtures --------------------------------------------------------------

std::optional<Quantization> byte_quantization(TensorType type)
{
    if (type == TensorType::uint8)
        return Quantization{{1.0f / 255.0f}, {0}};
    if (type == TensorType::int8)
        return Quantization{{1.0f / 255.0f}, {-128}};
    return std::nullopt;
}

Model pool_model(TensorType type, int h, int w, int c, int outputs)
{
    Model m;
    const auto quant = byte_quantization(type);
    m.tensors.push_back({"input", {1, h, w, c}, type, quant, {}});
    m.inputs = {0};
    for (int i = 0; i < outputs; ++i) {
        const std::string name = outputs == 1 ? "output" : "output" + std::to_string(i);
        m.tensors.push_back({name, {1, 1, 1, c}, type, quant, {}});
        const int32_t index = static_cast<int32_t>(m.tensors.size() - 1);
        Operator op;
        op.op = BuiltinOp::average_pool_2d;
        op.inputs = {0};
        op.outputs = {index};
        op.pool = Pool2D{true, 1, 1, w, h};
        m.operators.push_back(op);
        m.outputs.push_back(index);
    }
    return m;
}

Model add_model()
{
    Model m;
    m.tensors = {{"input_a", {1, 2, 2, 3}, TensorType::float32, std::nullopt, {}},
                 {"input_b", {1, 2, 2, 3}, TensorType::float32, std::nullopt, {}},
                 {"output", {1, 2, 2, 3}, TensorType::float32, std::nullopt, {}}};
    m.inputs = {0, 1};
    m.outputs = {2};
    Operator op;
    op.op = BuiltinOp::add;
    op.inputs = {0, 1};
    op.outputs = {2};
    m.operators = {op};
    return m;
}

Model softmax_model(int n)
{
    Model m;
    m.tensors = {{"input", {1, n}, TensorType::float32, std::nullopt, {}},
                 {"output", {1, n}, TensorType::float32, std::nullopt, {}}};
    m.inputs = {0};
    m.outputs = {1};
    Operator op;
    op.op = BuiltinOp::softmax;
    op.inputs = {0};
    op.outputs = {1};
    op.softmax_beta = 1.0f;
    m.operators = {op};
    return m;
}

}  // namespace tflite_test
