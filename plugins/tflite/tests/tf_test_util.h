// Helpers of the TensorFlow Lite core suites: a server over the test double,
// and the graphs the suites load into it.
#ifndef BRINDLECAST_TF_TEST_UTIL_H
#define BRINDLECAST_TF_TEST_UTIL_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_interpreter.h"
#include "tf_server.h"

namespace tftest {

inline std::vector<uint8_t> zeros(size_t n) { return std::vector<uint8_t>(n, 0); }

// input [1,4,4,1] -> CONV_2D (with filter and bias) -> "conv" [1,3,3,1]
// -> MAX_POOL_2D -> "pool" [1,2,2,1] -> RESHAPE -> "output" [1,4].
// Tensors: 0 input, 1 conv, 2 pool, 3 filter, 4 bias, 5 output.
inline FakeGraph pool_graph()
{
    FakeGraph g;
    g.tensors = {
        {"input", tfplugin::kTypeFloat32, {1, 4, 4, 1}, zeros(64)},
        {"conv", tfplugin::kTypeFloat32, {1, 3, 3, 1}, zeros(36)},
        {"pool", tfplugin::kTypeFloat32, {1, 2, 2, 1}, zeros(16)},
        {"filter", tfplugin::kTypeFloat32, {1, 2, 2, 1}, zeros(16)},
        {"bias", tfplugin::kTypeFloat32, {1}, zeros(4)},
        {"output", tfplugin::kTypeFloat32, {1, 4}, zeros(16)},
    };
    g.nodes = {{{0, 3, 4}, {1}, "CONV_2D"}, {{1}, {2}, "MAX_POOL_2D"}, {{2}, {5}, "RESHAPE"}};
    g.inputs = {0};
    g.outputs = {5};
    g.model = "TFL3-allocation";
    return g;
}

// Each invoke: the convolution 10 us, the pool 3 us, the reshape nothing;
// with events that name no node or a node outside the graph.
inline std::vector<tfplugin::ProfileEvent> pool_events(int)
{
    return {op_event(0, 1000, 1010), other_event(2, 1000, 1050), op_event(1, 1010, 1013),
            op_event(3, 1013, 1200), op_event(-1, 0, 500)};
}

// A server over the CPU; the binding double is reset for each.
struct Server {
    nn_server* s = nullptr;
    explicit Server(int compute = 0, size_t max_model = 64u << 20)
    {
        reset_binding();
        s = nn_server_init(compute, 0, nullptr, 0, nullptr, max_model, nullptr);
        EXPECT_NE(s, nullptr);
    }
    ~Server() { nn_server_release(s); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    operator nn_server*() const { return s; }

    // Loads `graph` as if from a file; the load's status.
    int load(FakeGraph graph, const char* path = "model.tflite")
    {
        binding().graph = std::move(graph);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int status = nn_server_model_load(s, path, 1);
        load_err = testing::internal::GetCapturedStderr();
        load_out = testing::internal::GetCapturedStdout();
        return status;
    }
    FakeInterpreter& interpreter() { return *binding().last; }
    std::string load_out, load_err;
};

}  // namespace tftest

#endif
