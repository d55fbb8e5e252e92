// A double of the plug-in's interpreter interface: a graph of named tensors
// and nodes described by the test, scripted invokes and profiler events,
// and the binding's two functions answering as the test sets them.
#ifndef BRINDLECAST_TF_FAKE_INTERPRETER_H
#define BRINDLECAST_TF_FAKE_INTERPRETER_H

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tf_interpreter.h"

namespace tftest {

struct FakeTensor {
    std::string name;
    int type = tfplugin::kTypeFloat32;
    std::vector<int> dims;
    std::vector<uint8_t> data;  // empty: no data pointer
    bool unnamed = false;
    float scale = 0.0f;
    int32_t zero_point = 0;

    template <typename T>
    T* as() { return reinterpret_cast<T*>(data.data()); }
};

struct FakeNode {
    std::vector<int> inputs, outputs;
    std::string op;
};

// What a test sees of an interpreter, also after the server released it.
struct FakeState {
    int invokes = 0;
    int profilers = 0;      // new_profiler calls that made one
    int released = 0;
    bool profiling = false; // between start and stop
};

struct FakeGraph {
    std::vector<FakeTensor> tensors;
    std::vector<FakeNode> nodes;
    std::vector<int> inputs, outputs;
    std::string model;  // the allocation's bytes
    // Invoke number (from 0) -> success; all succeed when empty.
    std::function<bool(int)> invoke_ok;
    // Invoke number -> the events the profiler records for it (when started).
    std::function<std::vector<tfplugin::ProfileEvent>(int)> events;
    // Runs on each successful invoke (writes outputs, say).
    std::function<void(std::vector<FakeTensor>&)> compute;
    bool profiler_fails = false;
};

class FakeInterpreter final : public tfplugin::Interpreter {
public:
    FakeInterpreter(FakeGraph graph, std::shared_ptr<FakeState> state)
        : g_(std::move(graph)), state_(std::move(state))
    {
    }

    void release() noexcept override
    {
        state_->released++;
        delete this;
    }

    size_t tensor_count() const noexcept override { return g_.tensors.size(); }
    size_t node_count() const noexcept override { return g_.nodes.size(); }
    tfplugin::IntList inputs() const noexcept override { return list(g_.inputs); }
    tfplugin::IntList outputs() const noexcept override { return list(g_.outputs); }
    tfplugin::IntList node_inputs(size_t node) const noexcept override
    {
        return node < g_.nodes.size() ? list(g_.nodes[node].inputs) : tfplugin::IntList{};
    }
    tfplugin::IntList node_outputs(size_t node) const noexcept override
    {
        return node < g_.nodes.size() ? list(g_.nodes[node].outputs) : tfplugin::IntList{};
    }
    const char* node_op_name(size_t node) const noexcept override
    {
        return node < g_.nodes.size() ? g_.nodes[node].op.c_str() : "";
    }
    const char* tensor_name(size_t t) const noexcept override
    {
        return g_.tensors[t].unnamed ? nullptr : g_.tensors[t].name.c_str();
    }
    int tensor_type(size_t t) const noexcept override { return g_.tensors[t].type; }
    tfplugin::IntList tensor_dims(size_t t) const noexcept override { return list(g_.tensors[t].dims); }
    void* tensor_data(size_t t) noexcept override
    {
        return g_.tensors[t].data.empty() ? nullptr : g_.tensors[t].data.data();
    }
    size_t tensor_bytes(size_t t) const noexcept override { return g_.tensors[t].data.size(); }
    float tensor_scale(size_t t) const noexcept override { return g_.tensors[t].scale; }
    int32_t tensor_zero_point(size_t t) const noexcept override { return g_.tensors[t].zero_point; }
    const void* model_data() const noexcept override { return g_.model.data(); }
    size_t model_bytes() const noexcept override { return g_.model.size(); }

    bool invoke() noexcept override
    {
        int n = state_->invokes++;
        bool ok = !g_.invoke_ok || g_.invoke_ok(n);
        if (ok && state_->profiling && g_.events)
            for (const tfplugin::ProfileEvent& e : g_.events(n))
                if (recorded_.size() < capacity_)
                    recorded_.push_back(e);
        if (ok && g_.compute)
            g_.compute(g_.tensors);
        return ok;
    }

    bool new_profiler(size_t events) noexcept override
    {
        has_profiler_ = !g_.profiler_fails;
        capacity_ = events;
        recorded_.clear();
        state_->profiling = false;
        if (has_profiler_)
            state_->profilers++;
        return has_profiler_;
    }
    void profiler_reset() noexcept override { recorded_.clear(); }
    void profiler_start() noexcept override { state_->profiling = has_profiler_; }
    void profiler_stop() noexcept override { state_->profiling = false; }
    size_t profiler_events(tfplugin::ProfileEvent* events, size_t capacity) const noexcept override
    {
        size_t n = recorded_.size() < capacity ? recorded_.size() : capacity;
        for (size_t i = 0; i < n; ++i)
            events[i] = recorded_[i];
        return n;
    }

    std::vector<FakeTensor>& tensors() { return g_.tensors; }

private:
    static tfplugin::IntList list(const std::vector<int>& v) { return {v.data(), v.size()}; }

    FakeGraph g_;
    std::shared_ptr<FakeState> state_;
    bool has_profiler_ = false;
    size_t capacity_ = 0;
    std::vector<tfplugin::ProfileEvent> recorded_;
};

// How the binding's two functions answer: set before a load.
struct FakeBinding {
    int open_status = 0;           // non-zero: open_interpreter fails with it
    bool bytes_valid = true;       // verify_model_bytes
    FakeGraph graph;               // the interpreter a successful open makes
    std::shared_ptr<FakeState> state = std::make_shared<FakeState>();
    FakeInterpreter* last = nullptr;
    // What the last calls were given.
    tfplugin::OpenRequest request;
    std::string request_bytes;     // a copy of request.bytes
    int opens = 0, verifies = 0;
};

// The one binding the double's functions read; reset per test.
FakeBinding& binding();
void reset_binding();

inline tfplugin::ProfileEvent op_event(int64_t node, uint64_t begin, uint64_t end)
{
    return {tfplugin::ProfileEvent::Kind::operator_invoke, node, begin, end};
}
inline tfplugin::ProfileEvent other_event(int64_t node, uint64_t begin, uint64_t end)
{
    return {tfplugin::ProfileEvent::Kind::other, node, begin, end};
}

}  // namespace tftest

#endif
