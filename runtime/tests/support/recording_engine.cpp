#include "recording_engine.h"

#include <cstdlib>
#include <cstring>

#include "tensor/tensor_internal.h"

namespace kestrune {
namespace test {

namespace {

const char* const kSlotNames[NN_ENGINE_SLOT_COUNT] = {
    "name",  "version", "handle", "reserved3", "init",     "fini",     "tensor_init", "tensor_release",
    "sync",  "assign",  "alloc",  "view",      "map_ro",   "map_rw",   "map_wo",      "unmap",
    "compare", "fill",  "reserved18", "copy",  "pad",      "concat",   "slice",       "shuffle",
    "avgpool", "maxpool", "conv", "matmul",    "dense",    "linear",   "binary",      "unary",
};

std::vector<int32_t> Array(const int32_t* values, int64_t count)
{
    if (!values || count <= 0)
        return {};
    return std::vector<int32_t>(values, values + count);
}

int Clamp(int n, int hi) { return n < 0 ? 0 : n > hi ? hi : n; }

}  // namespace

const char* SlotName(Slot slot)
{
    int i = static_cast<int>(slot);
    return i >= 0 && i < NN_ENGINE_SLOT_COUNT ? kSlotNames[i] : "?";
}

RecordingEngine::RecordingEngine(std::initializer_list<Slot> slots, const char* name,
                                 const char* version)
{
    memset(&record_, 0, sizeof record_);
    nn_engine_init(&record_);
    record_.name = name;
    record_.version = version;
    RecordingEngine* self = this;
    memcpy(record_.plugin_private, &self, sizeof self);
    for (Slot s : slots)
        Enable(s);
}

RecordingEngine::~RecordingEngine()
{
    for (const Buffer& b : buffers_)
        free(b.data);
    for (void* r : deferred_records_)
        free(r);
}

RecordingEngine* RecordingEngine::From(nn_engine* engine)
{
    RecordingEngine* self = nullptr;
    memcpy(&self, engine->plugin_private, sizeof self);
    return self;
}

RecordingEngine* RecordingEngine::From(nn_tensor* tensor) { return From(nn_tensor_engine(tensor)); }

void RecordingEngine::SetSlot(Slot slot, bool on)
{
    nn_engine& r = record_;
    switch (slot) {
    case Slot::kFini: r.fini = on ? Fini : nullptr; break;
    case Slot::kTensorInit: r.tensor_init = on ? TensorInit : nullptr; break;
    case Slot::kTensorRelease: r.tensor_release = on ? TensorRelease : nullptr; break;
    case Slot::kSync: r.sync = on ? Sync : nullptr; break;
    case Slot::kAssign: r.assign = on ? Assign : nullptr; break;
    case Slot::kAlloc: r.alloc = on ? Alloc : nullptr; break;
    case Slot::kView: r.view = on ? View : nullptr; break;
    case Slot::kMapRo: r.mapro = on ? MapRo : nullptr; break;
    case Slot::kMapRw: r.maprw = on ? MapRw : nullptr; break;
    case Slot::kMapWo: r.mapwo = on ? MapWo : nullptr; break;
    case Slot::kUnmap: r.unmap = on ? Unmap : nullptr; break;
    case Slot::kCompare: r.compare = on ? Compare : nullptr; break;
    case Slot::kFill: r.fill = on ? Fill : nullptr; break;
    case Slot::kCopy: r.copy = on ? Copy : nullptr; break;
    case Slot::kPad: r.pad = on ? Pad : nullptr; break;
    case Slot::kConcat: r.concat = on ? Concat : nullptr; break;
    case Slot::kSlice: r.slice = on ? Slice : nullptr; break;
    case Slot::kShuffle: r.shuffle = on ? Shuffle : nullptr; break;
    case Slot::kAvgPool: r.avgpool = on ? AvgPool : nullptr; break;
    case Slot::kMaxPool: r.maxpool = on ? MaxPool : nullptr; break;
    case Slot::kConv: r.conv = on ? Conv : nullptr; break;
    case Slot::kMatmul: r.matmul = on ? Matmul : nullptr; break;
    case Slot::kDense: r.dense = on ? Dense : nullptr; break;
    case Slot::kLinear: r.linear = on ? Linear : nullptr; break;
    case Slot::kBinary: r.binary = on ? Binary : nullptr; break;
    case Slot::kUnary: r.unary = on ? Unary : nullptr; break;
    default: break;  // name, version, handle, init and the reserved entries are not calls
    }
}

void RecordingEngine::Enable(Slot slot) { SetSlot(slot, true); }

void RecordingEngine::Disable(Slot slot) { SetSlot(slot, false); }

void RecordingEngine::EnableAll()
{
    for (int i = static_cast<int>(Slot::kFini); i < NN_ENGINE_SLOT_COUNT; ++i)
        Enable(static_cast<Slot>(i));
}

void RecordingEngine::SetResult(Slot slot, int result) { results_[static_cast<int>(slot)] = result; }

void RecordingEngine::SetHandler(Slot slot, std::function<int(const SlotCall&)> handler)
{
    handlers_[static_cast<int>(slot)] = std::move(handler);
}

void RecordingEngine::SetMapResult(Slot slot, void* pointer)
{
    map_override_[static_cast<int>(slot)] = true;
    map_result_[static_cast<int>(slot)] = pointer;
}

void RecordingEngine::ClearMapResult(Slot slot) { map_override_[static_cast<int>(slot)] = false; }

void RecordingEngine::SetTensorInitResult(nn_tensor* tensor)
{
    init_override_ = true;
    init_result_ = tensor;
}

std::vector<SlotCall> RecordingEngine::CallsOf(Slot slot) const
{
    std::vector<SlotCall> out;
    for (const SlotCall& c : calls_)
        if (c.slot == slot)
            out.push_back(c);
    return out;
}

size_t RecordingEngine::Count(Slot slot) const
{
    size_t n = 0;
    for (const SlotCall& c : calls_)
        n += c.slot == slot;
    return n;
}

std::string RecordingEngine::Sequence() const
{
    std::string s;
    for (const SlotCall& c : calls_) {
        if (!s.empty())
            s += ' ';
        s += SlotName(c.slot);
    }
    return s;
}

void* RecordingEngine::BufferOf(const nn_tensor* tensor) const
{
    for (const Buffer& b : buffers_)
        if (b.tensor == tensor)
            return b.data;
    return nullptr;
}

void RecordingEngine::FreeBuffer(const nn_tensor* tensor)
{
    for (size_t i = 0; i < buffers_.size(); ++i) {
        if (buffers_[i].tensor == tensor) {
            free(buffers_[i].data);
            buffers_.erase(buffers_.begin() + static_cast<long>(i));
            return;
        }
    }
}

SlotCall& RecordingEngine::Record(SlotCall call)
{
    calls_.push_back(std::move(call));
    return calls_.back();
}

int RecordingEngine::ResultOf(const SlotCall& call) const
{
    int i = static_cast<int>(call.slot);
    if (handlers_[i])
        return handlers_[i](call);
    return results_[i];
}

void* RecordingEngine::MapResult(Slot slot, nn_tensor* tensor) const
{
    int i = static_cast<int>(slot);
    return map_override_[i] ? map_result_[i] : nn_tensor_native_handle(tensor);
}

// ---- Slots --------------------------------------------------------------

void RecordingEngine::Fini(nn_engine* e)
{
    SlotCall c{Slot::kFini};
    c.engine = e;
    From(e)->Record(c);
}

nn_tensor* RecordingEngine::TensorInit(nn_tensor* t, nn_engine* e)
{
    RecordingEngine* self = From(e);
    SlotCall c{Slot::kTensorInit};
    c.tensors = {t};
    c.engine = e;
    self->Record(c);
    return self->init_override_ ? self->init_result_ : t;
}

void RecordingEngine::TensorRelease(nn_tensor* t)
{
    RecordingEngine* self = From(t);
    SlotCall c{Slot::kTensorRelease};
    c.tensors = {t};
    self->Record(c);
    self->FreeBuffer(t);
    if (t->owns_data && t->data)
        free(t->data);  // a buffer the runtime's CPU path allocated
    t->data = nullptr;
    t->owns_data = 0;
    nn_tensor_aux_release(t);
    if (t->owns_zeros)
        free(t->zeros);
    if (t->owns_scales)
        free(t->scales);
    t->zeros = nullptr;
    t->scales = nullptr;
    if (t->allocated) {
        t->allocated = 0;
        self->deferred_records_.push_back(t);
    }
}

int RecordingEngine::Sync(nn_tensor* t)
{
    RecordingEngine* self = From(t);
    SlotCall c{Slot::kSync};
    c.tensors = {t};
    return self->ResultOf(self->Record(c));
}

int RecordingEngine::Assign(nn_tensor* t, nn_type type, const int32_t* shape, int dims, void* data)
{
    RecordingEngine* self = From(t);
    SlotCall c{Slot::kAssign};
    c.tensors = {t};
    c.ints = {type, dims};
    c.arrays = {Array(shape, Clamp(dims, 4))};
    c.pointer = data;
    int result = self->ResultOf(self->Record(c));
    if (result == 0)
        t->data = data;
    return result;
}

int RecordingEngine::Alloc(nn_tensor* t, nn_type type, const int32_t* shape, int dims)
{
    RecordingEngine* self = From(t);
    SlotCall c{Slot::kAlloc};
    c.tensors = {t};
    c.ints = {type, dims};
    c.arrays = {Array(shape, Clamp(dims, 4))};
    int result = self->ResultOf(self->Record(c));
    if (result != 0)
        return result;
    self->FreeBuffer(t);
    size_t size = nn_tensor_size(t);
    void* data = calloc(size ? size : 1, 1);
    if (!data)
        return NN_ERROR_OUT_OF_MEMORY;
    self->buffers_.push_back({t, data});
    t->data = data;
    t->owns_data = 0;  // the engine's buffer, freed by the engine
    return 0;
}

int RecordingEngine::View(nn_tensor* t, nn_type type, const int32_t* shape, int dims,
                          nn_tensor* parent, int offset)
{
    RecordingEngine* self = From(t);
    SlotCall c{Slot::kView};
    c.tensors = {t, parent};
    c.ints = {type, dims, offset};
    c.arrays = {Array(shape, Clamp(dims, 4))};
    int result = self->ResultOf(self->Record(c));
    if (result == 0)
        t->data = parent && parent->data ? static_cast<char*>(parent->data) + offset : nullptr;
    return result;
}

void* RecordingEngine::MapRo(nn_tensor* t)
{
    RecordingEngine* self = From(t);
    SlotCall c{Slot::kMapRo};
    c.tensors = {t};
    self->Record(c);
    return self->MapResult(Slot::kMapRo, t);
}

void* RecordingEngine::MapRw(nn_tensor* t)
{
    RecordingEngine* self = From(t);
    SlotCall c{Slot::kMapRw};
    c.tensors = {t};
    self->Record(c);
    return self->MapResult(Slot::kMapRw, t);
}

void* RecordingEngine::MapWo(nn_tensor* t)
{
    RecordingEngine* self = From(t);
    SlotCall c{Slot::kMapWo};
    c.tensors = {t};
    self->Record(c);
    return self->MapResult(Slot::kMapWo, t);
}

void RecordingEngine::Unmap(nn_tensor* t, const void* mapped)
{
    SlotCall c{Slot::kUnmap};
    c.tensors = {t};
    c.pointer = mapped;
    From(t)->Record(c);
}

int RecordingEngine::Compare(nn_tensor* a, nn_tensor* b, double tolerance)
{
    RecordingEngine* self = From(a);
    SlotCall c{Slot::kCompare};
    c.tensors = {a, b};
    c.reals = {tolerance};
    return self->ResultOf(self->Record(c));
}

int RecordingEngine::Fill(nn_tensor* t, double value)
{
    RecordingEngine* self = From(t);
    SlotCall c{Slot::kFill};
    c.tensors = {t};
    c.reals = {value};
    return self->ResultOf(self->Record(c));
}

int RecordingEngine::Copy(nn_tensor* dst, nn_tensor* src)
{
    RecordingEngine* self = From(dst);
    SlotCall c{Slot::kCopy};
    c.tensors = {dst, src};
    return self->ResultOf(self->Record(c));
}

int RecordingEngine::Pad(nn_tensor* dst, nn_tensor* src, const int32_t* head, const int32_t* tail,
                         double value)
{
    RecordingEngine* self = From(dst);
    SlotCall c{Slot::kPad};
    c.tensors = {dst, src};
    c.arrays = {Array(head, 4), Array(tail, 4)};
    c.reals = {value};
    return self->ResultOf(self->Record(c));
}

int RecordingEngine::Concat(nn_tensor* dst, nn_tensor** inputs, int count, int axis)
{
    RecordingEngine* self = From(dst);
    SlotCall c{Slot::kConcat};
    c.tensors = {dst};
    for (int i = 0; inputs && i < count; ++i)
        c.tensors.push_back(inputs[i]);
    c.ints = {count, axis};
    return self->ResultOf(self->Record(c));
}

int RecordingEngine::Slice(nn_tensor* dst, nn_tensor* src, int count, const int32_t* axes,
                           const int32_t* begins, const int32_t* ends)
{
    RecordingEngine* self = From(dst);
    SlotCall c{Slot::kSlice};
    c.tensors = {dst, src};
    c.ints = {count};
    int n = Clamp(count, 4);
    c.arrays = {Array(axes, n), Array(begins, n), Array(ends, n)};
    return self->ResultOf(self->Record(c));
}

int RecordingEngine::Shuffle(nn_tensor* dst, nn_tensor* src, int dims, const int32_t* order)
{
    RecordingEngine* self = From(dst);
    SlotCall c{Slot::kShuffle};
    c.tensors = {dst, src};
    c.ints = {dims};
    c.arrays = {Array(order, Clamp(dims, 4))};
    return self->ResultOf(self->Record(c));
}

int RecordingEngine::AvgPool(nn_tensor* out, nn_tensor* in, const int32_t* window,
                             const int32_t* strides, const int32_t* padding)
{
    RecordingEngine* self = From(out);
    SlotCall c{Slot::kAvgPool};
    c.tensors = {out, in};
    c.arrays = {Array(window, 4), Array(strides, 4), Array(padding, 8)};
    return self->ResultOf(self->Record(c));
}

int RecordingEngine::MaxPool(nn_tensor* out, nn_tensor* in, const int32_t* window,
                             const int32_t* strides, const int32_t* padding)
{
    RecordingEngine* self = From(out);
    SlotCall c{Slot::kMaxPool};
    c.tensors = {out, in};
    c.arrays = {Array(window, 4), Array(strides, 4), Array(padding, 8)};
    return self->ResultOf(self->Record(c));
}

int RecordingEngine::Conv(nn_tensor* out, nn_tensor* cache, nn_tensor* in, nn_tensor* filter,
                          nn_tensor* bias, const int32_t* strides, const int32_t* padding,
                          int groups, int activation)
{
    RecordingEngine* self = From(out);
    SlotCall c{Slot::kConv};
    c.tensors = {out, cache, in, filter, bias};
    c.ints = {groups, activation};
    c.arrays = {Array(strides, 4), Array(padding, 8)};
    return self->ResultOf(self->Record(c));
}

int RecordingEngine::Matmul(nn_tensor* out, nn_tensor* a, nn_tensor* b, bool ta, bool tb)
{
    RecordingEngine* self = From(out);
    SlotCall c{Slot::kMatmul};
    c.tensors = {out, a, b};
    c.ints = {ta, tb};
    return self->ResultOf(self->Record(c));
}

int RecordingEngine::Dense(nn_tensor* out, nn_tensor* in, nn_tensor* w, nn_tensor* bias,
                           int activation)
{
    RecordingEngine* self = From(out);
    SlotCall c{Slot::kDense};
    c.tensors = {out, in, w, bias};
    c.ints = {activation};
    return self->ResultOf(self->Record(c));
}

int RecordingEngine::Linear(nn_tensor* out, nn_tensor* in, nn_tensor* w, nn_tensor* bias,
                            int activation)
{
    RecordingEngine* self = From(out);
    SlotCall c{Slot::kLinear};
    c.tensors = {out, in, w, bias};
    c.ints = {activation};
    return self->ResultOf(self->Record(c));
}

int RecordingEngine::Binary(nn_tensor* out, nn_tensor* a, nn_tensor* b, int operation)
{
    RecordingEngine* self = From(out);
    SlotCall c{Slot::kBinary};
    c.tensors = {out, a, b};
    c.ints = {operation};
    return self->ResultOf(self->Record(c));
}

int RecordingEngine::Unary(nn_tensor* out, nn_tensor* in, int kind)
{
    RecordingEngine* self = From(out);
    SlotCall c{Slot::kUnary};
    c.tensors = {out, in};
    c.ints = {kind};
    return self->ResultOf(self->Record(c));
}

}  // namespace test
}  // namespace kestrune
