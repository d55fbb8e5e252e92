#include "kfm_writer.h"

#include <flatbuffers/flatbuffers.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "kestrune/nn.h"
#include "kfm_generated.h"

namespace kfm {
namespace {

using flatbuffers::FlatBufferBuilder;
using flatbuffers::Offset;
using flatbuffers::uoffset_t;
using flatbuffers::voffset_t;

struct AnyTable {};
using TableOffset = Offset<AnyTable>;

constexpr voffset_t slot(int index) { return static_cast<voffset_t>(4 + 2 * index); }

// Offsets of children are built before the table that holds them.
struct Pending {
    int index;
    uoffset_t offset;
};

template <class T>
opt<uoffset_t> vec(FlatBufferBuilder& b, const opt<std::vector<T>>& v)
{
    if (!v)
        return std::nullopt;
    return b.CreateVector(*v).o;
}

opt<uoffset_t> str(FlatBufferBuilder& b, const opt<std::string>& s)
{
    if (!s)
        return std::nullopt;
    return b.CreateString(*s).o;
}

opt<uoffset_t> strvec(FlatBufferBuilder& b, const opt<std::vector<std::string>>& v)
{
    if (!v)
        return std::nullopt;
    return b.CreateVectorOfStrings(*v).o;
}

opt<uoffset_t> tablevec(FlatBufferBuilder& b, const std::vector<uoffset_t>& offsets)
{
    std::vector<TableOffset> o;
    o.reserve(offsets.size());
    for (uoffset_t x : offsets)
        o.emplace_back(x);
    return b.CreateVector(o).o;
}

void add_offsets(FlatBufferBuilder& b, std::initializer_list<std::pair<int, opt<uoffset_t>>> fields)
{
    for (const auto& f : fields)
        if (f.second)
            b.AddOffset(slot(f.first), Offset<void>(*f.second));
}

template <class T>
void add_scalar(FlatBufferBuilder& b, int index, const opt<T>& v)
{
    if (v)
        b.AddElement<T>(slot(index), *v);  // two-argument form: always stored
}

uoffset_t write_parameter(FlatBufferBuilder& b, const Parameter& p)
{
    auto name = str(b, p.name);
    auto shape = vec(b, p.shape);
    auto f32 = vec(b, p.data_f32);
    auto i16 = vec(b, p.data_i16);
    auto raw = vec(b, p.data_raw);
    auto s = strvec(b, p.data_str);
    auto i32 = vec(b, p.data_i32);
    auto i8 = vec(b, p.data_i8);
    auto f8 = vec(b, p.field8);
    uoffset_t start = b.StartTable();
    add_offsets(b, {{0, name}, {1, shape}, {2, f32}, {3, i16}, {4, raw}, {5, s}, {6, i32},
                    {7, i8}, {8, f8}});
    return b.EndTable(start);
}

uoffset_t write_resource(FlatBufferBuilder& b, const Resource& r)
{
    auto name = str(b, r.name);
    auto meta = str(b, r.meta);
    auto mime = str(b, r.mime);
    auto data = vec(b, r.data);
    uoffset_t start = b.StartTable();
    add_offsets(b, {{0, name}, {1, meta}, {2, mime}, {3, data}});
    return b.EndTable(start);
}

opt<uoffset_t> resources(FlatBufferBuilder& b, const opt<std::vector<Resource>>& v)
{
    if (!v)
        return std::nullopt;
    std::vector<uoffset_t> o;
    for (const Resource& r : *v)
        o.push_back(write_resource(b, r));
    return tablevec(b, o);
}

uoffset_t write_layer(FlatBufferBuilder& b, const Layer& l)
{
    auto name = str(b, l.name);
    auto f1 = str(b, l.field1);
    auto inputs = vec(b, l.inputs);
    opt<uoffset_t> params;
    if (l.parameters) {
        std::vector<uoffset_t> o;
        for (const Parameter& p : *l.parameters)
            o.push_back(write_parameter(b, p));
        params = tablevec(b, o);
    }
    auto shape = vec(b, l.shape);
    auto f8 = str(b, l.field8);
    auto zeros = vec(b, l.zeros);
    auto scales = vec(b, l.scales);
    auto f13 = vec(b, l.field13);
    uoffset_t start = b.StartTable();
    add_offsets(b, {{0, name}, {1, f1}, {3, inputs}, {4, params}, {5, shape}, {8, f8},
                    {10, zeros}, {11, scales}, {13, f13}});
    add_scalar(b, 2, l.type);
    add_scalar(b, 6, l.mempool_offset);
    add_scalar(b, 7, l.panel_size);
    add_scalar(b, 9, l.datatype);
    add_scalar(b, 12, l.axis);
    return b.EndTable(start);
}

}  // namespace

Buffer::Buffer(const void* bytes, size_t size, size_t misalign) : offset_(misalign), size_(size)
{
    // Exactly the bytes asked for, so a sanitizer sees any read past the end.
    size_t total = misalign + size > 0 ? misalign + size : 1;
    void* p = nullptr;
    if (posix_memalign(&p, 16, total) != 0)
        throw std::bad_alloc();
    std::memset(p, 0, total);
    base_.reset(static_cast<uint8_t*>(p), [](uint8_t* q) { std::free(q); });
    if (size)
        std::memcpy(base_.get() + offset_, bytes, size);
}

size_t Buffer::find(const void* bytes, size_t n, size_t from) const
{
    const uint8_t* d = data();
    for (size_t i = from; n <= size_ && i + n <= size_; ++i)
        if (std::memcmp(d + i, bytes, n) == 0)
            return i;
    return npos;
}

uint32_t Buffer::get_u32(size_t at) const
{
    uint32_t v;
    std::memcpy(&v, data() + at, 4);
    return v;
}

void Buffer::put_u32(size_t at, uint32_t value) { std::memcpy(data() + at, &value, 4); }

// With KESTRUNE_KFM_DUMP_DIR set, every valid fixture is also saved there
// (named by a hash of its bytes): the model fuzzer's seeds are the suites'
// own models.
static void keep_copy(const Buffer& b)
{
    const char* dir = std::getenv("KESTRUNE_KFM_DUMP_DIR");
    if (!dir || !*dir || nn_model_validate(b.data(), b.size()) != 0)
        return;
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < b.size(); ++i)
        h = (h ^ b.data()[i]) * 1099511628211ull;
    char name[64];
    std::snprintf(name, sizeof name, "/%016llx.kfm", (unsigned long long)h);
    std::FILE* f = std::fopen((std::string(dir) + name).c_str(), "wb");
    if (!f)
        return;
    std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
}

Buffer write(const Model& m)
{
    FlatBufferBuilder b(1024);
    auto f1 = str(b, m.field1);
    auto name = str(b, m.name);
    auto f4 = str(b, m.field4);
    auto labels = strvec(b, m.labels);
    auto res = resources(b, m.resources);
    auto f7 = resources(b, m.field7);
    opt<uoffset_t> layers;
    if (m.layers) {
        std::vector<uoffset_t> o;
        for (const Layer& l : *m.layers)
            o.push_back(write_layer(b, l));
        layers = tablevec(b, o);
    }
    auto f13 = str(b, m.field13);
    auto f14 = str(b, m.field14);
    auto inputs = vec(b, m.inputs);
    auto outputs = vec(b, m.outputs);
    uoffset_t start = b.StartTable();
    add_offsets(b, {{1, f1}, {3, name}, {4, f4}, {5, labels}, {6, res}, {7, f7}, {8, layers},
                    {13, f13}, {14, f14}, {15, inputs}, {16, outputs}});
    add_scalar(b, 0, m.field0);
    add_scalar(b, 2, m.field2);
    add_scalar(b, 9, m.memory_block_size);
    add_scalar(b, 10, m.memory_blocks);
    add_scalar(b, 11, m.cache_minimum_size);
    add_scalar(b, 12, m.cache_optimum_size);
    uoffset_t root = b.EndTable(start);
    b.Finish(Offset<void>(root), "KFMx");
    Buffer out(b.GetBufferPointer(), b.GetSize());
    // Cross-check of every fixture: the verifier flatc generates from the
    // same schema must agree with the runtime's on whether it is valid, so
    // writer, schema and reader field indices stay in step.
    flatbuffers::Verifier v(out.data(), out.size());
    bool google = kfm_check::VerifyModelBuffer(v);
    bool ours = nn_model_validate(out.data(), out.size()) == 0;
    if (google != ours)
        throw std::logic_error("KFM fixture: the generated verifier and nn_model_validate disagree");
    keep_copy(out);
    return out;
}

Layer layer(const std::string& name, int16_t type, std::vector<int32_t> shape,
            std::vector<uint32_t> inputs)
{
    Layer l;
    l.name = name;
    l.type = type;
    if (!shape.empty())
        l.shape = std::move(shape);
    if (!inputs.empty())
        l.inputs = std::move(inputs);
    return l;
}

Layer pooled(const std::string& name, int16_t type, std::vector<int32_t> shape, uint32_t offset,
             std::vector<uint32_t> inputs)
{
    Layer l = layer(name, type, std::move(shape), std::move(inputs));
    l.mempool_offset = offset;
    return l;
}

Parameter parameter(const std::string& name)
{
    Parameter p;
    p.name = name;
    return p;
}

Resource resource(const std::string& name, std::vector<uint8_t> data)
{
    Resource r;
    r.name = name;
    r.data = std::move(data);
    return r;
}

Resource alias(const std::string& name, uint32_t layer)
{
    return resource("alias_" + name, {static_cast<uint8_t>(layer), static_cast<uint8_t>(layer >> 8),
                                      static_cast<uint8_t>(layer >> 16),
                                      static_cast<uint8_t>(layer >> 24)});
}

}  // namespace kfm
