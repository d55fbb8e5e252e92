// An in-process compute engine for tests: an application-filled nn_engine
// record whose slots record every call with its arguments and return results
// the test chose.  Its tensors live in host memory, so the runtime's CPU
// fall-back paths work on them through the map slots.
//
//     kestrune::test::RecordingEngine eng({Slot::kTensorInit, Slot::kCopy});
//     eng.SetResult(Slot::kCopy, NN_ERROR_NOT_IMPLEMENTED);
//     nn_tensor* t = nn_tensor_init(nullptr, eng.engine());
//     ...
//     EXPECT_EQ(eng.Count(Slot::kCopy), 1u);
//
// Only enabled slots are set in the record; the others read as NULL.  Default
// behaviour of an enabled slot:
//   tensor init      returns the tensor (or SetTensorInitResult's choice)
//   tensor release   frees what the engine allocated for the tensor, its
//                    auxiliary objects and owned quantisation arrays; a record
//                    nn_tensor_init allocated is freed when the engine is
//                    destroyed (the runtime still writes to it after the call)
//   assign           keeps the caller's buffer as the tensor's data
//   alloc            gives the tensor a zeroed host buffer the engine owns
//   view             points the tensor at the parent's data plus the offset
//   map ro/rw/wo     the tensor's data (or SetMapResult's pointer)
//   every other slot returns its result (0 unless SetResult/SetHandler say
//                    otherwise) without touching the tensors
// When a slot's configured result is not 0, assign, alloc and view do nothing
// but return it.
#ifndef KESTRUNE_TESTS_RECORDING_ENGINE_H
#define KESTRUNE_TESTS_RECORDING_ENGINE_H

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "kestrune/nn_engine_plugin.h"

namespace kestrune {
namespace test {

// The 32 slots of the engine record, by index.
enum class Slot : int {
    kName = 0,
    kVersion = 1,
    kHandle = 2,
    kReserved3 = 3,
    kInit = 4,
    kFini = 5,
    kTensorInit = 6,
    kTensorRelease = 7,
    kSync = 8,
    kAssign = 9,
    kAlloc = 10,
    kView = 11,
    kMapRo = 12,
    kMapRw = 13,
    kMapWo = 14,
    kUnmap = 15,
    kCompare = 16,
    kFill = 17,
    kReserved18 = 18,
    kCopy = 19,
    kPad = 20,
    kConcat = 21,
    kSlice = 22,
    kShuffle = 23,
    kAvgPool = 24,
    kMaxPool = 25,
    kConv = 26,
    kMatmul = 27,
    kDense = 28,
    kLinear = 29,
    kBinary = 30,
    kUnary = 31,
};

const char* SlotName(Slot slot);

// One slot call.  Arguments are kept by kind, each list in call order:
//   tensors  every nn_tensor* argument (concat: dst, then the inputs;
//            convolution: output, cache, input, filter, bias)
//   ints     type, dims, offset (view); count, axis (concat); count (slice);
//            dims (shuffle); groups, activation (convolution); transpose a,
//            transpose b (matmul); activation (dense, linear); operation
//            (binary); kind (unary)
//   arrays   copies of the integer arrays: shape (dims entries); head, tail
//            (4 each, pad); axes, begins, ends (count each, slice); order
//            (dims, shuffle); window, strides (4 each) and padding (8)
//            (pooling); strides (4) and padding (8) (convolution).  A NULL
//            array is recorded empty.
//   reals    tolerance (compare), value (fill, pad)
//   pointer  data (assign), the mapped pointer (unmap)
//   engine   the engine argument (tensor init, fini)
struct SlotCall {
    explicit SlotCall(Slot s = Slot::kName) : slot(s) {}
    Slot slot;
    std::vector<nn_tensor*> tensors;
    std::vector<int64_t> ints;
    std::vector<std::vector<int32_t>> arrays;
    std::vector<double> reals;
    const void* pointer = nullptr;
    nn_engine* engine = nullptr;
};

class RecordingEngine {
public:
    // Enables the given slots; name and version are always set.
    explicit RecordingEngine(std::initializer_list<Slot> slots = {},
                             const char* name = "recording", const char* version = "1.0");
    ~RecordingEngine();
    RecordingEngine(const RecordingEngine&) = delete;
    RecordingEngine& operator=(const RecordingEngine&) = delete;

    nn_engine* engine() { return &record_; }

    void Enable(Slot slot);
    void Disable(Slot slot);
    // Every operation slot (5-31 without the reserved 18).
    void EnableAll();

    // Status (or count, for compare) returned by a slot; default 0.
    void SetResult(Slot slot, int result);
    // Replaces a status slot's default behaviour; the handler's value is returned.
    void SetHandler(Slot slot, std::function<int(const SlotCall&)> handler);
    // Pointer returned by a map slot instead of the tensor's data (may be NULL).
    void SetMapResult(Slot slot, void* pointer);
    void ClearMapResult(Slot slot);
    // Tensor returned by the tensor-init slot instead of its argument (may be NULL).
    void SetTensorInitResult(nn_tensor* tensor);

    const std::vector<SlotCall>& calls() const { return calls_; }
    std::vector<SlotCall> CallsOf(Slot slot) const;
    size_t Count(Slot slot) const;
    // The called slots' names in order, space-separated ("map_ro unmap").
    std::string Sequence() const;
    void ClearCalls() { calls_.clear(); }

    // Host buffer the alloc slot gave the tensor, or NULL.
    void* BufferOf(const nn_tensor* tensor) const;

private:
    struct Buffer {
        const nn_tensor* tensor;
        void* data;
    };
    static RecordingEngine* From(nn_engine* engine);
    static RecordingEngine* From(nn_tensor* tensor);
    SlotCall& Record(SlotCall call);
    int ResultOf(const SlotCall& call) const;
    void* MapResult(Slot slot, nn_tensor* tensor) const;
    void SetSlot(Slot slot, bool enabled);
    void FreeBuffer(const nn_tensor* tensor);

    // Slot functions.
    static void Fini(nn_engine* e);
    static nn_tensor* TensorInit(nn_tensor* t, nn_engine* e);
    static void TensorRelease(nn_tensor* t);
    static int Sync(nn_tensor* t);
    static int Assign(nn_tensor* t, nn_type type, const int32_t* shape, int dims, void* data);
    static int Alloc(nn_tensor* t, nn_type type, const int32_t* shape, int dims);
    static int View(nn_tensor* t, nn_type type, const int32_t* shape, int dims, nn_tensor* parent,
                    int offset);
    static void* MapRo(nn_tensor* t);
    static void* MapRw(nn_tensor* t);
    static void* MapWo(nn_tensor* t);
    static void Unmap(nn_tensor* t, const void* mapped);
    static int Compare(nn_tensor* a, nn_tensor* b, double tolerance);
    static int Fill(nn_tensor* t, double value);
    static int Copy(nn_tensor* dst, nn_tensor* src);
    static int Pad(nn_tensor* dst, nn_tensor* src, const int32_t* head, const int32_t* tail,
                   double value);
    static int Concat(nn_tensor* dst, nn_tensor** inputs, int count, int axis);
    static int Slice(nn_tensor* dst, nn_tensor* src, int count, const int32_t* axes,
                     const int32_t* begins, const int32_t* ends);
    static int Shuffle(nn_tensor* dst, nn_tensor* src, int dims, const int32_t* order);
    static int AvgPool(nn_tensor* out, nn_tensor* in, const int32_t* window, const int32_t* strides,
                       const int32_t* padding);
    static int MaxPool(nn_tensor* out, nn_tensor* in, const int32_t* window, const int32_t* strides,
                       const int32_t* padding);
    static int Conv(nn_tensor* out, nn_tensor* cache, nn_tensor* in, nn_tensor* filter,
                    nn_tensor* bias, const int32_t* strides, const int32_t* padding, int groups,
                    int activation);
    static int Matmul(nn_tensor* out, nn_tensor* a, nn_tensor* b, bool ta, bool tb);
    static int Dense(nn_tensor* out, nn_tensor* in, nn_tensor* w, nn_tensor* bias, int activation);
    static int Linear(nn_tensor* out, nn_tensor* in, nn_tensor* w, nn_tensor* bias, int activation);
    static int Binary(nn_tensor* out, nn_tensor* a, nn_tensor* b, int operation);
    static int Unary(nn_tensor* out, nn_tensor* in, int kind);

    nn_engine record_;
    std::vector<SlotCall> calls_;
    int results_[NN_ENGINE_SLOT_COUNT] = {};
    std::function<int(const SlotCall&)> handlers_[NN_ENGINE_SLOT_COUNT];
    bool map_override_[NN_ENGINE_SLOT_COUNT] = {};
    void* map_result_[NN_ENGINE_SLOT_COUNT] = {};
    bool init_override_ = false;
    nn_tensor* init_result_ = nullptr;
    std::vector<Buffer> buffers_;
    std::vector<void*> deferred_records_;
};

}  // namespace test
}  // namespace kestrune

#endif
