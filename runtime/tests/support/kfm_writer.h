// Test-side KFM writer: builds model buffers from description structs on the
// FlatBuffers builder's low-level API.
//
// Every field is std::optional: an unset field is left out of the buffer, a
// set one is always stored, even when it equals the schema default (so
// "stored 0" and "absent" are different fixtures), and a required field (the
// names, the model's field 1) can be left out to build invalid buffers.  The
// result is copied into 16-byte aligned storage; malformed buffers are made by
// patching those bytes (Buffer::find, Buffer::put_u32, truncated, shifted).
#ifndef KESTRUNE_TESTS_KFM_WRITER_H
#define KESTRUNE_TESTS_KFM_WRITER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kfm {

template <class T>
using opt = std::optional<T>;

struct Parameter {
    opt<std::string> name;  // required
    opt<std::vector<int32_t>> shape;
    opt<std::vector<float>> data_f32;
    opt<std::vector<int16_t>> data_i16;
    opt<std::vector<uint8_t>> data_raw;
    opt<std::vector<std::string>> data_str;
    opt<std::vector<int32_t>> data_i32;
    opt<std::vector<int8_t>> data_i8;
    opt<std::vector<uint8_t>> field8;  // unread by the runtime
};

struct Layer {
    opt<std::string> name;  // required
    opt<std::string> field1;
    opt<int16_t> type;
    opt<std::vector<uint32_t>> inputs;
    opt<std::vector<Parameter>> parameters;
    opt<std::vector<int32_t>> shape;
    opt<uint32_t> mempool_offset;
    opt<uint32_t> panel_size;
    opt<std::string> field8;
    opt<int8_t> datatype;
    opt<std::vector<int32_t>> zeros;
    opt<std::vector<float>> scales;
    opt<int8_t> axis;
    opt<std::vector<int64_t>> field13;
};

struct Resource {
    opt<std::string> name;  // required
    opt<std::string> meta;
    opt<std::string> mime;
    opt<std::vector<uint8_t>> data;
};

struct Model {
    opt<uint32_t> field0;
    opt<std::string> field1 = std::string("kfm-writer");  // required; reset() to leave it out
    opt<uint32_t> field2;
    opt<std::string> name;
    opt<std::string> field4;
    opt<std::vector<std::string>> labels;
    opt<std::vector<Resource>> resources;
    opt<std::vector<Resource>> field7;
    opt<std::vector<Layer>> layers;
    opt<uint32_t> memory_block_size;
    opt<uint32_t> memory_blocks;
    opt<uint32_t> cache_minimum_size;
    opt<uint32_t> cache_optimum_size;
    opt<std::string> field13;
    opt<std::string> field14;
    opt<std::vector<uint32_t>> inputs;
    opt<std::vector<uint32_t>> outputs;
};

// Bytes in 16-byte aligned storage (shared between copies of the handle;
// use copy() for an independent buffer to patch).
class Buffer {
public:
    Buffer() = default;
    Buffer(const void* bytes, size_t size, size_t misalign = 0);

    uint8_t* data() { return base_ ? base_.get() + offset_ : nullptr; }
    const uint8_t* data() const { return base_ ? base_.get() + offset_ : nullptr; }
    size_t size() const { return size_; }

    Buffer copy() const { return Buffer(data(), size_); }
    // A copy starting `by` bytes past a 16-byte boundary.
    Buffer shifted(size_t by) const { return Buffer(data(), size_, by); }
    // A copy of the first n bytes.
    Buffer truncated(size_t n) const { return Buffer(data(), n < size_ ? n : size_); }

    // Offset of the first occurrence of `bytes` at or after `from`; npos if none.
    size_t find(const void* bytes, size_t n, size_t from = 0) const;
    size_t find(const std::string& text, size_t from = 0) const
    {
        return find(text.data(), text.size(), from);
    }
    uint32_t get_u32(size_t at) const;
    void put_u32(size_t at, uint32_t value);

    static constexpr size_t npos = static_cast<size_t>(-1);

private:
    std::shared_ptr<uint8_t> base_;
    size_t offset_ = 0;
    size_t size_ = 0;
};

Buffer write(const Model& model);

// Shorthands for the common fixture shapes; an empty shape or inputs list
// leaves that field out (assign an empty vector to store an empty one).
Layer layer(const std::string& name, int16_t type, std::vector<int32_t> shape = {},
            std::vector<uint32_t> inputs = {});
// layer() placed at `offset` in the memory pool.
Layer pooled(const std::string& name, int16_t type, std::vector<int32_t> shape, uint32_t offset,
             std::vector<uint32_t> inputs = {});
Parameter parameter(const std::string& name);
Resource resource(const std::string& name, std::vector<uint8_t> data);
// A resource "alias_<name>" whose 4 data bytes hold `layer` little-endian.
Resource alias(const std::string& name, uint32_t layer);

}  // namespace kfm

#endif
