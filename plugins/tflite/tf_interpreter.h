/* What the TensorFlow Lite plug-in needs of an interpreter, as an interface
 * of its own: the plug-in's core (server record, benchmark, HTTP handler)
 * is written against it, the binding implements it over TensorFlow Lite,
 * and the tests implement it with a double of their own. */
#ifndef BRINDLECAST_TF_INTERPRETER_H
#define BRINDLECAST_TF_INTERPRETER_H

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tfplugin {

/* TensorFlow Lite's tensor type codes (TfLiteType) that the plug-in reads. */
enum TensorType : int {
    kTypeNone = 0,
    kTypeFloat32 = 1,
    kTypeInt32 = 2,
    kTypeUInt8 = 3,
    kTypeInt64 = 4,
    kTypeString = 5,
    kTypeBool = 6,
    kTypeInt16 = 7,
    kTypeComplex64 = 8,
    kTypeInt8 = 9,
    kTypeFloat16 = 10,
};

/* A list of tensor indices or extents held by the interpreter. */
struct IntList {
    const int* data = nullptr;
    size_t count = 0;
    int operator[](size_t i) const noexcept { return data[i]; }
};

/* One recorded profiler event. Only operator invokes name a node of the
 * interpreter's graph; everything else (delegate-internal operators, runtime
 * instrumentation) says nothing about a node. */
struct ProfileEvent {
    enum class Kind { operator_invoke, other };
    Kind kind;
    int64_t node;              /* operator invokes: the node index */
    uint64_t begin_us;
    uint64_t end_us;
};

/* The events a profiler keeps for one timed run. */
constexpr size_t kProfilerEvents = 1024;

class Interpreter {
public:
    /* Ends the interpreter with everything it holds (model, profiler). */
    virtual void release() noexcept = 0;

    virtual size_t tensor_count() const noexcept = 0;
    virtual size_t node_count() const noexcept = 0;
    virtual IntList inputs() const noexcept = 0;
    virtual IntList outputs() const noexcept = 0;

    /* A node's tensor indices; empty lists for an index outside the nodes. */
    virtual IntList node_inputs(size_t node) const noexcept = 0;
    virtual IntList node_outputs(size_t node) const noexcept = 0;
    /* The builtin operator's name, "" when it has none. Never NULL. */
    virtual const char* node_op_name(size_t node) const noexcept = 0;

    /* Tensors by index (callers keep the index below tensor_count()). */
    virtual const char* tensor_name(size_t tensor) const noexcept = 0;  /* NULL when unnamed */
    virtual int tensor_type(size_t tensor) const noexcept = 0;
    virtual IntList tensor_dims(size_t tensor) const noexcept = 0;
    virtual void* tensor_data(size_t tensor) noexcept = 0;             /* NULL when none */
    virtual size_t tensor_bytes(size_t tensor) const noexcept = 0;

    /* A tensor's quantisation (scale 0 and zero point 0 when it has none). */
    virtual float tensor_scale(size_t tensor) const noexcept = 0;
    virtual int32_t tensor_zero_point(size_t tensor) const noexcept = 0;

    /* The model's allocation: its bytes and their count. */
    virtual const void* model_data() const noexcept = 0;
    virtual size_t model_bytes() const noexcept = 0;

    /* One run of the graph: true when it succeeded. */
    virtual bool invoke() noexcept = 0;

    /* A new profiler of `events` entries replaces the old one; false when it
     * cannot be created (there is then no profiler). */
    virtual bool new_profiler(size_t events) noexcept = 0;
    virtual void profiler_reset() noexcept = 0;
    virtual void profiler_start() noexcept = 0;
    virtual void profiler_stop() noexcept = 0;
    /* Copies at most `capacity` of the recorded events, in recording order,
     * into `events`; returns how many. */
    virtual size_t profiler_events(ProfileEvent* events, size_t capacity) const noexcept = 0;

protected:
    ~Interpreter() = default;
};

struct InterpreterReleaser {
    void operator()(Interpreter* interpreter) const noexcept { interpreter->release(); }
};
using UniqueInterpreter = std::unique_ptr<Interpreter, InterpreterReleaser>;

/* What a model load asks of the binding. */
struct OpenRequest {
    const char* path = nullptr;        /* a model file, or NULL ... */
    const uint8_t* bytes = nullptr;    /* ... model bytes the caller keeps alive */
    size_t size = 0;
    int threads = 4;
    bool delegate = false;             /* apply the acceleration delegates */
};

/* ---- the binding's part (TensorFlow Lite, or a test double) ---------------- */

/* Whether `size` uploaded bytes hold a well-formed model; nothing is built
 * from bytes that fail this. */
bool verify_model_bytes(const uint8_t* bytes, size_t size) noexcept;

/* Builds the model, the interpreter over the builtin operators with the
 * thread count, applies the delegates when asked and allocates the tensors,
 * printing what fails. 0 with *out set; 21 no model, 20 no interpreter,
 * 3 tensors not allocated. */
int open_interpreter(const OpenRequest& request, UniqueInterpreter* out) noexcept;

} // namespace tfplugin

#endif /* BRINDLECAST_TF_INTERPRETER_H */
