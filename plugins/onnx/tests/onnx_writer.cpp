#include "onnx_writer.h"

#include <cstdio>
#include <cstring>

namespace onnxtest {
namespace {

/* Protobuf wire format: varints, length-delimited fields, fixed32 floats. */
class Message {
public:
    void varint(uint64_t v)
    {
        while (v >= 0x80) {
            bytes_.push_back(static_cast<uint8_t>(v | 0x80));
            v >>= 7;
        }
        bytes_.push_back(static_cast<uint8_t>(v));
    }
    void key(int field, int wire) { varint(static_cast<uint64_t>(field) << 3 | static_cast<uint64_t>(wire)); }
    void int_field(int field, int64_t v)
    {
        key(field, 0);
        varint(static_cast<uint64_t>(v));
    }
    void float_field(int field, float v)
    {
        key(field, 5);
        uint8_t b[4];
        std::memcpy(b, &v, 4);
        bytes_.insert(bytes_.end(), b, b + 4);
    }
    void bytes_field(int field, const void* data, size_t size)
    {
        key(field, 2);
        varint(size);
        const uint8_t* p = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    void str(int field, const std::string& s) { bytes_field(field, s.data(), s.size()); }
    void sub(int field, const Message& m) { bytes_field(field, m.bytes_.data(), m.bytes_.size()); }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

Message value_info(const Value& v)
{
    Message shape; /* TensorShapeProto */
    for (size_t i = 0; i < v.dims.size(); ++i) {
        Message dim;
        if (v.dims[i] == kDynamic)
            dim.str(2, "d" + std::to_string(i)); /* dim_param */
        else
            dim.int_field(1, v.dims[i]); /* dim_value */
        shape.sub(1, dim);
    }
    Message tensor; /* TypeProto.Tensor */
    tensor.int_field(1, v.elem);
    tensor.sub(2, shape);
    Message type; /* TypeProto */
    if (v.sequence) {
        Message element; /* TypeProto of the elements */
        element.sub(1, tensor);
        Message sequence; /* TypeProto.Sequence */
        sequence.sub(1, element);
        type.sub(4, sequence);
    } else {
        type.sub(1, tensor);
    }
    Message info; /* ValueInfoProto */
    info.str(1, v.name);
    info.sub(2, type);
    return info;
}

Message attribute(const Attribute& a)
{
    Message m; /* AttributeProto */
    m.str(1, a.name);
    switch (a.kind) {
    case Attribute::Float:
        m.float_field(2, a.f);
        break;
    case Attribute::Int:
        m.int_field(3, a.i);
        break;
    case Attribute::Floats:
        for (float f : a.floats)
            m.float_field(7, f);
        break;
    case Attribute::Ints:
        for (int64_t i : a.ints)
            m.int_field(8, i);
        break;
    }
    m.int_field(20, a.kind);
    return m;
}

Message node(const Node& n, size_t index)
{
    Message m; /* NodeProto */
    for (const auto& in : n.inputs)
        m.str(1, in);
    for (const auto& out : n.outputs)
        m.str(2, out);
    m.str(3, n.op + "_" + std::to_string(index));
    m.str(4, n.op);
    for (const auto& a : n.attributes)
        m.sub(5, attribute(a));
    return m;
}

Message initializer(const Initializer& t)
{
    Message m; /* TensorProto */
    for (int64_t d : t.dims)
        m.int_field(1, d);
    m.int_field(2, t.elem);
    m.str(8, t.name);
    m.bytes_field(9, t.raw.data(), t.raw.size());
    return m;
}

} // namespace

Attribute Attribute::of_int(std::string name, int64_t value)
{
    Attribute a;
    a.name = std::move(name);
    a.kind = Int;
    a.i = value;
    return a;
}

Attribute Attribute::of_float(std::string name, float value)
{
    Attribute a;
    a.name = std::move(name);
    a.kind = Float;
    a.f = value;
    return a;
}

Attribute Attribute::of_ints(std::string name, std::vector<int64_t> values)
{
    Attribute a;
    a.name = std::move(name);
    a.kind = Ints;
    a.ints = std::move(values);
    return a;
}

Initializer Initializer::of_floats(std::string name, std::vector<int64_t> dims, const std::vector<float>& values)
{
    Initializer t;
    t.name = std::move(name);
    t.elem = FLOAT;
    t.dims = std::move(dims);
    t.raw.resize(values.size() * sizeof(float));
    if (!values.empty())
        std::memcpy(t.raw.data(), values.data(), t.raw.size());
    return t;
}

std::vector<uint8_t> write_model(const Graph& g, int64_t opset, int64_t ir_version)
{
    Message graph; /* GraphProto */
    for (size_t i = 0; i < g.nodes.size(); ++i)
        graph.sub(1, node(g.nodes[i], i));
    graph.str(2, g.name);
    for (const auto& t : g.initializers)
        graph.sub(5, initializer(t));
    for (const auto& v : g.inputs)
        graph.sub(11, value_info(v));
    for (const auto& v : g.outputs)
        graph.sub(12, value_info(v));
    Message opset_id; /* OperatorSetIdProto, default domain */
    opset_id.str(1, "");
    opset_id.int_field(2, opset);
    Message model; /* ModelProto */
    model.int_field(1, ir_version);
    model.str(2, "kestrune-tests");
    model.sub(7, graph);
    model.sub(8, opset_id);
    return model.bytes();
}

bool write_model_file(const std::string& path, const Graph& graph, int64_t opset)
{
    std::vector<uint8_t> bytes = write_model(graph, opset);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

Graph single_node(const std::string& op, const Value& input, const Value& output, std::vector<Attribute> attributes)
{
    Graph g;
    g.nodes.push_back(Node{op, {input.name}, {output.name}, std::move(attributes)});
    g.inputs.push_back(input);
    g.outputs.push_back(output);
    return g;
}

} // namespace onnxtest
