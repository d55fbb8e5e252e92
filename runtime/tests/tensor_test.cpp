// Tensor record: shape setting, memory ownership, the mapping state machine,
// views, release and printing of CPU tensors.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestrune/nn.h"

namespace {

// A tensor record in caller memory, released at the end of the test.
struct Tensor {
    alignas(16) unsigned char memory[152];
    nn_tensor* t;
    Tensor() : t(nn_tensor_init(memory, nullptr)) {}
    ~Tensor() { nn_tensor_release(t); }
    operator nn_tensor*() { return t; }
};

std::string Printed(nn_tensor* t, bool data)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    nn_tensor_printf(t, data, out);
    fclose(out);
    std::string s(buf, len);
    free(buf);
    return s;
}

TEST(TensorRecord, SizeAndFreshState)
{
    EXPECT_EQ(nn_tensor_sizeof(), 152u);
    unsigned char memory[152];
    memset(memory, 0xA5, sizeof memory);
    nn_tensor* t = nn_tensor_init(memory, nullptr);
    ASSERT_EQ(static_cast<void*>(t), static_cast<void*>(memory));
    for (unsigned char b : memory)
        ASSERT_EQ(b, 0);
    EXPECT_EQ(nn_tensor_engine(t), nullptr);
    EXPECT_EQ(nn_tensor_mapped(t), 0);
    EXPECT_EQ(nn_tensor_time(t), 0);
    EXPECT_EQ(nn_tensor_io_time(t), 0);
    nn_tensor_release(t);

    nn_tensor* heap = nn_tensor_init(nullptr, nullptr);  // freed by release (leak check)
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(nn_tensor_volume(heap), 0);
    nn_tensor_release(heap);
}

TEST(TensorRecord, NullTensorAnswers)
{
    EXPECT_EQ(nn_tensor_engine(nullptr), nullptr);
    EXPECT_EQ(nn_tensor_type(nullptr), 0);
    EXPECT_EQ(nn_tensor_element_size(nullptr), 0u);
    EXPECT_EQ(nn_tensor_dims(nullptr), 0);
    EXPECT_EQ(nn_tensor_shape(nullptr), nullptr);
    EXPECT_EQ(nn_tensor_strides(nullptr), nullptr);
    EXPECT_EQ(nn_tensor_volume(nullptr), 0);
    EXPECT_EQ(nn_tensor_size(nullptr), 0u);
    EXPECT_EQ(nn_tensor_time(nullptr), 0);
    EXPECT_EQ(nn_tensor_io_time(nullptr), 0);
    EXPECT_EQ(nn_tensor_native_handle(nullptr), nullptr);
    EXPECT_EQ(nn_tensor_panel_size(nullptr), 0u);
    EXPECT_EQ(nn_tensor_mapro(nullptr), nullptr);
    EXPECT_EQ(nn_tensor_mapwo(nullptr), nullptr);
    EXPECT_EQ(nn_tensor_maprw(nullptr), nullptr);
    EXPECT_EQ(nn_tensor_mapped(nullptr), 0);
    EXPECT_EQ(nn_tensor_sync(nullptr), NN_ERROR_INVALID_PARAMETER);
    int32_t shape[1] = {1};
    float data = 0;
    EXPECT_EQ(nn_tensor_assign(nullptr, NN_TYPE_F32, 1, shape, &data), NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nn_tensor_alloc(nullptr, NN_TYPE_F32, 1, shape), NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nn_tensor_view(nullptr, NN_TYPE_F32, 1, shape, nullptr, 0), NN_ERROR_INVALID_PARAMETER);
    nn_tensor_unmap(nullptr);
    nn_tensor_release(nullptr);
    nn_tensor_set_native_handle(nullptr, &data);
    nn_tensor_set_panel_size(nullptr, 4);
    EXPECT_EQ(Printed(nullptr, true), "NULL");
}

TEST(TensorRecord, ElementSizeFollowsTheType)
{
    const size_t sizes[] = {1, 1, 1, 1, 2, 2, 4, 4, 8, 8, 2, 4, 8, 0, 0};
    for (uint32_t type = 0; type < 15; ++type) {
        Tensor t;
        int32_t shape[2] = {2, 3};
        ASSERT_EQ(nn_tensor_assign(t, static_cast<nn_type>(type), 2, shape, nullptr), 0);
        EXPECT_EQ(nn_tensor_type(t), type);
        EXPECT_EQ(nn_tensor_element_size(t), sizes[type]) << type;
        EXPECT_EQ(nn_tensor_size(t), 6 * sizes[type]) << type;
    }
}

// ---- Shape setting ------------------------------------------------------

struct ShapeCase {
    const char* what;
    nn_type type;
    int dims;
    std::vector<int32_t> shape;  // empty: NULL shape pointer
    int status;
    int32_t extents[4];
    int32_t strides[4];
    int volume;
};

const ShapeCase kShapeCases[] = {
    {"dims 0 without a shape is a scalar", NN_TYPE_F32, 0, {}, 0, {1, 1, 1, 1}, {1, 1, 1, 1}, 1},
    {"two dims", NN_TYPE_F32, 2, {3, 5}, 0, {3, 5, 1, 1}, {5, 1, 1, 1}, 15},
    {"four dims", NN_TYPE_U8, 4, {2, 3, 4, 5}, 0, {2, 3, 4, 5}, {60, 20, 5, 1}, 120},
    {"one dim", NN_TYPE_I16, 1, {7}, 0, {7, 1, 1, 1}, {1, 1, 1, 1}, 7},
    {"zero extent", NN_TYPE_F32, 2, {0, 5}, 0, {0, 5, 1, 1}, {5, 1, 1, 1}, 0},
    {"largest byte volume", NN_TYPE_I8, 1, {INT32_MAX}, 0, {INT32_MAX, 1, 1, 1}, {1, 1, 1, 1},
     INT32_MAX},
    {"2 GiB of FLOAT16", NN_TYPE_F16, 2, {1 << 30, 1}, 0, {1 << 30, 1, 1, 1},
     {1, 1, 1, 1}, 1 << 30},
    {"five dims", NN_TYPE_F32, 5, {1, 1, 1, 1, 1}, NN_ERROR_INVALID_SHAPE, {}, {}, 0},
    {"negative dims", NN_TYPE_F32, -1, {1}, NN_ERROR_INVALID_SHAPE, {}, {}, 0},
    {"dims without a shape", NN_TYPE_F32, 2, {}, NN_ERROR_INVALID_SHAPE, {}, {}, 0},
    {"negative extent", NN_TYPE_F32, 2, {4, -1}, NN_ERROR_INVALID_SHAPE, {}, {}, 0},
    {"volume wraps 32 bits", NN_TYPE_U8, 2, {65537, 65537}, NN_ERROR_INVALID_SHAPE, {}, {}, 0},
    {"volume above INT32_MAX", NN_TYPE_U8, 2, {1 << 16, 1 << 15}, NN_ERROR_INVALID_SHAPE, {}, {}, 0},
    {"byte size above 4 GiB", NN_TYPE_F32, 1, {1 << 30}, NN_ERROR_INVALID_SHAPE, {}, {}, 0},
    {"strides would wrap behind a zero", NN_TYPE_U8, 4, {0, 65537, 65537, 2},
     NN_ERROR_INVALID_SHAPE, {}, {}, 0},
};

TEST(TensorShape, AssignSetsShapeStridesAndVolume)
{
    for (const auto& c : kShapeCases) {
        SCOPED_TRACE(c.what);
        Tensor t;
        float buffer[4] = {};
        int32_t before_shape[2] = {2, 2};
        ASSERT_EQ(nn_tensor_assign(t, NN_TYPE_I32, 2, before_shape, buffer), 0);
        unsigned char before[152];
        memcpy(before, t.memory, sizeof before);

        const int32_t* shape = c.shape.empty() ? nullptr : c.shape.data();
        int marker = 0;
        EXPECT_EQ(nn_tensor_assign(t, c.type, c.dims, shape, &marker), c.status);
        if (c.status != 0) {
            EXPECT_EQ(memcmp(before, t.memory, sizeof before), 0) << "record changed";
            continue;
        }
        EXPECT_EQ(nn_tensor_dims(t), c.dims);
        EXPECT_EQ(nn_tensor_type(t), c.type);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(nn_tensor_shape(t)[i], c.extents[i]) << i;
            EXPECT_EQ(nn_tensor_strides(t)[i], c.strides[i]) << i;
        }
        EXPECT_EQ(nn_tensor_volume(t), c.volume);
        EXPECT_EQ(nn_tensor_native_handle(t), &marker);
    }
}

TEST(TensorShape, AllocAndViewRefuseTheSameShapes)
{
    for (const auto& c : kShapeCases) {
        if (c.status == 0)
            continue;
        SCOPED_TRACE(c.what);
        const int32_t* shape = c.shape.empty() ? nullptr : c.shape.data();
        Tensor t, parent;
        ASSERT_EQ(nn_tensor_alloc(parent, NN_TYPE_U8, 1, std::vector<int32_t>{64}.data()), 0);
        EXPECT_EQ(nn_tensor_alloc(t, c.type, c.dims, shape), c.status);
        EXPECT_EQ(nn_tensor_native_handle(t), nullptr);
        EXPECT_EQ(nn_tensor_view(t, c.type, c.dims, shape, parent, 0), c.status);
        EXPECT_EQ(nn_tensor_volume(t), 0);
        EXPECT_EQ(nn_tensor_mapped(parent), 0);
    }
}

TEST(TensorAlloc, ZeroedOwnedBufferFreedOnce)
{
    Tensor t;
    int32_t shape[2] = {2, 3};
    ASSERT_EQ(nn_tensor_alloc(t, NN_TYPE_F32, 2, shape), 0);
    EXPECT_EQ(nn_tensor_size(t), 24u);
    const unsigned char* p = static_cast<const unsigned char*>(nn_tensor_mapro(t));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 24; ++i)
        EXPECT_EQ(p[i], 0) << i;
    nn_tensor_unmap(t);
    nn_tensor_release(t);
    EXPECT_EQ(nn_tensor_native_handle(t), nullptr);
    nn_tensor_release(t);  // the destructor releases a third time: nothing left to free
}

TEST(TensorAlloc, TwoGiBAndMoreIsOutOfMemory)
{
    Tensor t;
    int32_t shape[1] = {1 << 30};  // FLOAT16: exactly 2 GiB
    EXPECT_EQ(nn_tensor_alloc(t, NN_TYPE_F16, 1, shape), NN_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(nn_tensor_native_handle(t), nullptr);
    EXPECT_EQ(nn_tensor_volume(t), 1 << 30);  // the shape was stored
    EXPECT_EQ(nn_tensor_mapro(t), nullptr);
}

TEST(TensorAlloc, TypeWithoutSizeGetsAnEmptyBuffer)
{
    Tensor t;
    int32_t shape[1] = {4};
    ASSERT_EQ(nn_tensor_alloc(t, static_cast<nn_type>(13), 1, shape), 0);
    EXPECT_EQ(nn_tensor_size(t), 0u);
    EXPECT_NE(nn_tensor_native_handle(t), nullptr);
}

// ---- Mapping ------------------------------------------------------------

enum Op { RO, WO, RW, UN };

struct MapStep {
    Op op;
    bool maps;  // the map call returns the buffer (ignored for UN)
    int count;  // nn_tensor_mapped afterwards
};

struct MapSequence {
    const char* what;
    std::vector<MapStep> steps;
};

const MapSequence kMapSequences[] = {
    {"read-only nests", {{RO, true, 1}, {RO, true, 2}, {UN, false, 1}, {UN, false, 0}}},
    {"read-write admits read-only", {{RW, true, 1}, {RO, true, 2}, {WO, true, 3}, {RW, true, 4}}},
    {"read-only refuses read-write", {{RO, true, 1}, {RW, false, 1}, {WO, false, 1}, {RO, true, 2}}},
    {"write-only refuses reading", {{WO, true, 1}, {RO, false, 1}, {RW, false, 1}, {WO, true, 2}}},
    {"fully unmapped accepts any kind", {{RO, true, 1}, {UN, false, 0}, {RW, true, 1}}},
    {"unmap of an unmapped tensor", {{UN, false, 0}, {UN, false, 0}, {WO, true, 1}}},
};

TEST(TensorMap, StateMachine)
{
    for (const auto& seq : kMapSequences) {
        SCOPED_TRACE(seq.what);
        Tensor t;
        float data[6] = {};
        int32_t shape[2] = {2, 3};
        ASSERT_EQ(nn_tensor_assign(t, NN_TYPE_F32, 2, shape, data), 0);
        for (size_t i = 0; i < seq.steps.size(); ++i) {
            const MapStep& s = seq.steps[i];
            const void* p = nullptr;
            switch (s.op) {
            case RO: p = nn_tensor_mapro(t); break;
            case WO: p = nn_tensor_mapwo(t); break;
            case RW: p = nn_tensor_maprw(t); break;
            case UN: nn_tensor_unmap(t); break;
            }
            if (s.op != UN) {
                EXPECT_EQ(p, s.maps ? data : nullptr) << "step " << i;
            }
            EXPECT_EQ(nn_tensor_mapped(t), s.count) << "step " << i;
        }
    }
}

TEST(TensorMap, NestsAtMost127Deep)
{
    Tensor t;
    uint8_t data[3] = {};
    int32_t shape[1] = {3};
    ASSERT_EQ(nn_tensor_assign(t, NN_TYPE_U8, 1, shape, data), 0);
    for (int i = 1; i <= 127; ++i) {
        ASSERT_EQ(nn_tensor_maprw(t), data) << i;
        ASSERT_EQ(nn_tensor_mapped(t), i);
    }
    EXPECT_EQ(nn_tensor_mapro(t), nullptr);
    EXPECT_EQ(nn_tensor_maprw(t), nullptr);
    EXPECT_EQ(nn_tensor_mapped(t), 127);
    nn_tensor_unmap(t);
    EXPECT_EQ(nn_tensor_mapro(t), data);  // room for one more again
    EXPECT_EQ(nn_tensor_mapped(t), 127);
    nn_tensor_release(t);  // gives back every level
    EXPECT_EQ(nn_tensor_mapped(t), 0);
}

TEST(TensorMap, NothingToMap)
{
    float data[4] = {};
    struct Case {
        const char* what;
        int dims;
        std::vector<int32_t> shape;
        void* data;
    } cases[] = {
        {"volume 0", 2, {0, 4}, data},
        {"no data", 1, {4}, nullptr},
        {"never shaped", -1, {}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Tensor t;
        if (c.dims >= 0) {
            ASSERT_EQ(nn_tensor_assign(t, NN_TYPE_F32, c.dims, c.shape.data(), c.data), 0);
        }
        EXPECT_EQ(nn_tensor_mapro(t), nullptr);
        EXPECT_EQ(nn_tensor_mapwo(t), nullptr);
        EXPECT_EQ(nn_tensor_maprw(t), nullptr);
        EXPECT_EQ(nn_tensor_mapped(t), 0);
        EXPECT_EQ(Printed(t, true).substr(Printed(t, false).size()), "NO DATA");
    }
}

// ---- Views --------------------------------------------------------------

TEST(TensorView, WindowIntoTheParent)
{
    Tensor parent, view;
    float values[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    int32_t pshape[1] = {8};
    ASSERT_EQ(nn_tensor_assign(parent, NN_TYPE_F32, 1, pshape, values), 0);
    int32_t vshape[1] = {2};
    ASSERT_EQ(nn_tensor_view(view, NN_TYPE_F32, 1, vshape, parent, 16), 0);
    const float* p = static_cast<const float*>(nn_tensor_mapro(view));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[0], 4.0f);  // the fifth element
    EXPECT_EQ(p[1], 5.0f);
    nn_tensor_unmap(view);
    EXPECT_EQ(nn_tensor_mapped(parent), 0);
    nn_tensor_release(view);  // borrowed: the parent's buffer is not freed
    EXPECT_EQ(values[4], 4.0f);
}

TEST(TensorView, Failures)
{
    struct Case {
        const char* what;
        nn_type type;
        int32_t extent;
        int offset;
        Op parent_map;  // UN: parent not mapped
        int status;
    } cases[] = {
        {"exact fit at the end", NN_TYPE_F32, 2, 24, UN, 0},
        {"parent mapped read-write nests", NN_TYPE_F32, 8, 0, RW, 0},
        {"parent mapped read-only", NN_TYPE_F32, 2, 0, RO, NN_ERROR_TENSOR_NO_DATA},
        {"parent mapped write-only", NN_TYPE_F32, 2, 0, WO, NN_ERROR_TENSOR_NO_DATA},
        {"one byte past the end", NN_TYPE_U8, 2, 31, UN, NN_ERROR_INVALID_SHAPE},
        {"larger than the parent", NN_TYPE_F64, 5, 0, UN, NN_ERROR_INVALID_SHAPE},
        {"negative offset", NN_TYPE_F32, 1, -4, UN, NN_ERROR_INVALID_SHAPE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Tensor parent, view;
        float values[8] = {};
        int32_t pshape[1] = {8};
        ASSERT_EQ(nn_tensor_assign(parent, NN_TYPE_F32, 1, pshape, values), 0);
        if (c.parent_map == RO)
            nn_tensor_mapro(parent);
        if (c.parent_map == WO)
            nn_tensor_mapwo(parent);
        if (c.parent_map == RW)
            nn_tensor_maprw(parent);
        int before = nn_tensor_mapped(parent);
        EXPECT_EQ(nn_tensor_view(view, c.type, 1, &c.extent, parent, c.offset), c.status);
        EXPECT_EQ(nn_tensor_mapped(parent), before);
        if (c.status == 0) {
            EXPECT_EQ(nn_tensor_native_handle(view),
                      reinterpret_cast<unsigned char*>(values) + c.offset);
        } else {
            EXPECT_EQ(nn_tensor_native_handle(view), nullptr);
        }
    }
}

TEST(TensorView, ParentWithoutData)
{
    Tensor parent, view, unshaped;
    int32_t zero[1] = {0};
    int32_t one[1] = {1};
    ASSERT_EQ(nn_tensor_assign(parent, NN_TYPE_F32, 1, zero, nullptr), 0);
    EXPECT_EQ(nn_tensor_view(view, NN_TYPE_F32, 1, one, parent, 0), NN_ERROR_TENSOR_NO_DATA);
    EXPECT_EQ(nn_tensor_view(view, NN_TYPE_F32, 1, one, unshaped, 0), NN_ERROR_TENSOR_NO_DATA);
    EXPECT_EQ(nn_tensor_view(view, NN_TYPE_F32, 1, one, nullptr, 0), NN_ERROR_TENSOR_NO_DATA);
}

// ---- Native handle ------------------------------------------------------

TEST(TensorNativeHandle, NewHandleFreesTheOwnedBuffer)
{
    Tensor t;
    int32_t shape[1] = {16};
    ASSERT_EQ(nn_tensor_alloc(t, NN_TYPE_U8, 1, shape), 0);
    void* owned = nn_tensor_native_handle(t);

    // Mapped: the owned buffer is in use and stays.
    ASSERT_EQ(nn_tensor_maprw(t), owned);
    uint8_t mine[16] = {};
    nn_tensor_set_native_handle(t, mine);
    EXPECT_EQ(nn_tensor_native_handle(t), owned);
    nn_tensor_unmap(t);

    // Setting the same buffer keeps it owned.
    nn_tensor_set_native_handle(t, owned);
    EXPECT_EQ(nn_tensor_native_handle(t), owned);

    // Not mapped: the owned buffer is freed (leak check), the caller's is borrowed.
    nn_tensor_set_native_handle(t, mine);
    EXPECT_EQ(nn_tensor_native_handle(t), mine);
    nn_tensor_release(t);  // must not free the caller's stack buffer
    EXPECT_EQ(nn_tensor_native_handle(t), mine);
}

// ---- Panel size, printing -----------------------------------------------

TEST(TensorRecord, PanelSize)
{
    Tensor t;
    EXPECT_EQ(nn_tensor_panel_size(t), 0u);
    nn_tensor_set_panel_size(t, 16);
    EXPECT_EQ(nn_tensor_panel_size(t), 16u);
}

TEST(TensorPrintf, Formats)
{
    float f32[4] = {1, 2, 3, 4};
    int8_t i8[3] = {-1, 0, 127};
    uint8_t u8[2] = {255, 7};
    uint16_t f16[3] = {0x3C00, 0xC000, 0x0001};  // 1, -2, 2^-24
    double f64[2] = {0.5, -1.25};
    int64_t i64[1] = {-3};
    uint16_t u16[1] = {65535};
    struct Case {
        const char* what;
        nn_type type;
        int dims;
        std::vector<int32_t> shape;
        void* data;
        std::string with_data;
    } cases[] = {
        {"float32", NN_TYPE_F32, 2, {2, 2}, f32, "[ 2 2 ]: 1.0000 2.0000 3.0000 4.0000 "},
        {"int8", NN_TYPE_I8, 1, {3}, i8, "[ 3 ]: -1.0000 0.0000 127.0000 "},
        {"uint8", NN_TYPE_U8, 2, {1, 2}, u8, "[ 1 2 ]: 255.0000 7.0000 "},
        {"float16", NN_TYPE_F16, 1, {3}, f16, "[ 3 ]: 1.0000 -2.0000 0.0000 "},
        {"float64", NN_TYPE_F64, 1, {2}, f64, "[ 2 ]: 0.5000 -1.2500 "},
        {"int64", NN_TYPE_I64, 1, {1}, i64, "[ 1 ]: -3.0000 "},
        {"uint16", NN_TYPE_U16, 1, {1}, u16, "[ 1 ]: 65535.0000 "},
        {"scalar", NN_TYPE_F32, 0, {}, f32, "[ ]: 1.0000 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Tensor t;
        ASSERT_EQ(nn_tensor_assign(t, c.type, c.dims, c.shape.data(), c.data), 0);
        EXPECT_EQ(Printed(t, true), c.with_data);
        EXPECT_EQ(Printed(t, false), c.with_data.substr(0, c.with_data.find(']') + 1));
        EXPECT_EQ(nn_tensor_mapped(t), 0);
    }
}

}  // namespace
