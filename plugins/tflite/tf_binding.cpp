/* The interpreter interface over TensorFlow Lite 2.4's C++ API: the model
 * (verified flatbuffer), the builtin operators, the interpreter with its
 * thread count, the acceleration delegates and the buffered profiler.
 *
 * TensorFlow Lite allocates with operator new and its containers: this file
 * alone is built with exceptions, and nothing thrown leaves it. */
#include <stdio.h>

#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "flatbuffers/flatbuffers.h"
#include "tensorflow/lite/delegates/nnapi/nnapi_delegate.h"
#include "tensorflow/lite/interpreter.h"
#include "tensorflow/lite/kernels/register.h"
#include "tensorflow/lite/model.h"
#include "tensorflow/lite/profiling/buffered_profiler.h"
#include "tensorflow/lite/schema/schema_generated.h"
#include "tensorflow/lite/stderr_reporter.h"

#include "plugin.h"
#include "tf_interpreter.h"

namespace tflite {

using TfLiteDelegatePtrMap = std::map<std::string, Interpreter::TfLiteDelegatePtr>;

/* The delegates a load with acceleration applies, by name. */
NN_PLUGIN_EXPORT TfLiteDelegatePtrMap GetDelegates();

TfLiteDelegatePtrMap GetDelegates()
{
    TfLiteDelegatePtrMap delegates;
    /* NnApiDelegate() is TensorFlow Lite's own singleton: never freed. */
    TfLiteDelegate* nnapi = NnApiDelegate();
    if (nnapi)
        delegates.emplace("NNAPI", Interpreter::TfLiteDelegatePtr(nnapi, [](TfLiteDelegate*) {}));
    else
        printf("NNAPI acceleration is unsupported on this platform.");
    return delegates;
}

} // namespace tflite

namespace tfplugin {
namespace {

IntList int_list(const TfLiteIntArray* a) noexcept
{
    return a ? IntList{a->data, static_cast<size_t>(a->size > 0 ? a->size : 0)} : IntList{};
}

IntList int_list(const std::vector<int>& v) noexcept
{
    return IntList{v.data(), v.size()};
}

class TfLiteInterpreter final : public Interpreter {
public:
    void release() noexcept override { delete this; }

    size_t tensor_count() const noexcept override { return interpreter_->tensors_size(); }
    size_t node_count() const noexcept override { return interpreter_->nodes_size(); }
    IntList inputs() const noexcept override { return int_list(interpreter_->inputs()); }
    IntList outputs() const noexcept override { return int_list(interpreter_->outputs()); }

    IntList node_inputs(size_t node) const noexcept override
    {
        const auto* n = node_of(node);
        return n ? int_list(n->first.inputs) : IntList{};
    }
    IntList node_outputs(size_t node) const noexcept override
    {
        const auto* n = node_of(node);
        return n ? int_list(n->first.outputs) : IntList{};
    }
    const char* node_op_name(size_t node) const noexcept override
    {
        const auto* n = node_of(node);
        if (!n)
            return "";
        /* The generated name table covers MIN..MAX only. */
        const int32_t code = n->second.builtin_code;
        if (code < static_cast<int32_t>(tflite::BuiltinOperator_MIN) ||
            code > static_cast<int32_t>(tflite::BuiltinOperator_MAX))
            return "";
        const char* name = tflite::EnumNameBuiltinOperator(static_cast<tflite::BuiltinOperator>(code));
        return name ? name : "";
    }

    const char* tensor_name(size_t t) const noexcept override { return tensor(t)->name; }
    int tensor_type(size_t t) const noexcept override { return static_cast<int>(tensor(t)->type); }
    IntList tensor_dims(size_t t) const noexcept override { return int_list(tensor(t)->dims); }
    void* tensor_data(size_t t) noexcept override { return interpreter_->tensor(static_cast<int>(t))->data.raw; }
    size_t tensor_bytes(size_t t) const noexcept override { return tensor(t)->bytes; }
    float tensor_scale(size_t t) const noexcept override { return tensor(t)->params.scale; }
    int32_t tensor_zero_point(size_t t) const noexcept override { return tensor(t)->params.zero_point; }

    const void* model_data() const noexcept override
    {
        const tflite::Allocation* a = model_->allocation();
        return a ? a->base() : nullptr;
    }
    size_t model_bytes() const noexcept override
    {
        const tflite::Allocation* a = model_->allocation();
        return a ? a->bytes() : 0;
    }

    bool invoke() noexcept override
    {
        try {
            return interpreter_->Invoke() == kTfLiteOk;
        } catch (...) {
            return false;
        }
    }

    bool new_profiler(size_t events) noexcept override
    {
        std::unique_ptr<tflite::profiling::BufferedProfiler> profiler(
            new (std::nothrow) tflite::profiling::BufferedProfiler(static_cast<uint32_t>(events)));
        interpreter_->SetProfiler(profiler.get());
        profiler_ = std::move(profiler);
        return profiler_ != nullptr;
    }
    void profiler_reset() noexcept override
    {
        if (profiler_)
            profiler_->Reset();
    }
    void profiler_start() noexcept override
    {
        if (profiler_)
            profiler_->StartProfiling();
    }
    void profiler_stop() noexcept override
    {
        if (profiler_)
            profiler_->StopProfiling();
    }
    size_t profiler_events(ProfileEvent* events, size_t capacity) const noexcept override
    {
        if (!profiler_)
            return 0;
        try {
            const std::vector<const tflite::profiling::ProfileEvent*> recorded = profiler_->GetProfileEvents();
            size_t n = 0;
            for (const tflite::profiling::ProfileEvent* e : recorded) {
                if (n == capacity)
                    break;
                if (!e)
                    continue;
                ProfileEvent& out = events[n++];
                out.kind = e->event_type == tflite::profiling::ProfileEvent::EventType::OPERATOR_INVOKE_EVENT
                               ? ProfileEvent::Kind::operator_invoke
                               : ProfileEvent::Kind::other;
                out.node = static_cast<int64_t>(e->event_metadata);
                out.begin_us = e->begin_timestamp_us;
                out.end_us = e->end_timestamp_us;
            }
            return n;
        } catch (...) {
            return 0;
        }
    }

    /* Steps 1 to 4 of a load; 0, 21, 20 or 3. */
    int open(const OpenRequest& request)
    {
        tflite::ErrorReporter* reporter = tflite::DefaultErrorReporter();
        /* A model file is as untrusted as an upload: both are verified. */
        if (request.path)
            model_ = tflite::FlatBufferModel::VerifyAndBuildFromFile(request.path, nullptr, reporter);
        else
            model_ = tflite::FlatBufferModel::BuildFromBuffer(reinterpret_cast<const char*>(request.bytes),
                                                               request.size, reporter);
        if (!model_)
            return 21;
        if (tflite::InterpreterBuilder(*model_, resolver_)(&interpreter_, request.threads) != kTfLiteOk ||
            !interpreter_) {
            fprintf(stderr, "Failed to construct interpreter\n");
            return 20;
        }
        if (request.delegate) {
            /* Applied delegates must outlive the interpreter: kept here. */
            delegates_ = tflite::GetDelegates();
            for (auto& delegate : delegates_)
                if (interpreter_->ModifyGraphWithDelegate(delegate.second.get()) != kTfLiteOk)
                    printf("Failed to apply NPU delegate.");
        }
        if (interpreter_->AllocateTensors() != kTfLiteOk) {
            fprintf(stderr, "Failed to allocate tensors!");
            return 3;
        }
        return 0;
    }

private:
    const TfLiteTensor* tensor(size_t t) const noexcept
    {
        return static_cast<const tflite::Interpreter&>(*interpreter_).tensor(static_cast<int>(t));
    }
    const std::pair<TfLiteNode, TfLiteRegistration>* node_of(size_t node) const noexcept
    {
        return node < interpreter_->nodes_size() ? interpreter_->node_and_registration(static_cast<int>(node))
                                                 : nullptr;
    }

    /* Destroyed in reverse: the interpreter before what it uses. */
    std::unique_ptr<tflite::FlatBufferModel> model_;
    tflite::ops::builtin::BuiltinOpResolver resolver_;
    tflite::TfLiteDelegatePtrMap delegates_;
    std::unique_ptr<tflite::profiling::BufferedProfiler> profiler_;
    std::unique_ptr<tflite::Interpreter> interpreter_;
};

} // namespace

bool verify_model_bytes(const uint8_t* bytes, size_t size) noexcept
{
    /* The verifier asserts on buffers of FLATBUFFERS_MAX_BUFFER_SIZE or more. */
    if (!bytes || size == 0 || size >= static_cast<size_t>(FLATBUFFERS_MAX_BUFFER_SIZE))
        return false;
    try {
        flatbuffers::Verifier verifier(bytes, size);
        return tflite::VerifyModelBuffer(verifier);
    } catch (...) {
        return false;
    }
}

int open_interpreter(const OpenRequest& request, UniqueInterpreter* out) noexcept
{
    try {
        std::unique_ptr<TfLiteInterpreter> interpreter(new TfLiteInterpreter);
        int status = interpreter->open(request);
        if (status != 0)
            return status;
        out->reset(interpreter.release());
        return 0;
    } catch (const std::bad_alloc&) {
        return 3;
    } catch (...) {
        return 1;
    }
}

} // namespace tfplugin
