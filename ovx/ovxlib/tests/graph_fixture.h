// A fixture that builds small ovxlib graphs by hand for the stand-in's tests.
#ifndef OVXLIB_TESTS_GRAPH_FIXTURE_H
#define OVXLIB_TESTS_GRAPH_FIXTURE_H

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "ovxlib/ovxlib.h"
#include "ovxlib/ovxlib_test.h"

namespace ovxtest {

inline ovxlib_quant affine(float scale, int32_t zero_point)
{
    ovxlib_quant q{};
    q.type = OVXLIB_QUANT_AFFINE;
    q.scale = scale;
    q.zero_point = zero_point;
    return q;
}

inline ovxlib_tensor_attr attr(std::initializer_list<uint32_t> sizes, int32_t type = OVXLIB_TYPE_FLOAT32,
                               ovxlib_quant quant = {})
{
    ovxlib_tensor_attr a{};
    for (uint32_t s : sizes)
        a.sizes[a.dim_count++] = s;
    a.type = type;
    a.quant = quant;
    return a;
}

class GraphTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ovxlib_test_reset();
        context = vsi_nn_CreateContext();
        ASSERT_NE(context, nullptr);
        graph = vsi_nn_CreateGraph(context, 0, 0);
        ASSERT_NE(graph, nullptr);
    }
    void TearDown() override
    {
        vsi_nn_ReleaseGraph(&graph);
        vsi_nn_ReleaseContext(&context);
        ovxlib_test_reset();
    }

    // A non-virtual tensor (graph input or output).
    ovxlib_tensor_id io(ovxlib_tensor_attr a) { return vsi_nn_AddTensor(graph, OVXLIB_AUTO_ID, &a, nullptr); }
    ovxlib_tensor_id virt(ovxlib_tensor_attr a)
    {
        a.is_virtual = 1;
        return vsi_nn_AddTensor(graph, OVXLIB_AUTO_ID, &a, nullptr);
    }
    ovxlib_tensor_id constant(ovxlib_tensor_attr a, const void *data, int32_t fmt = OVXLIB_FMT_NCHW)
    {
        a.is_const = 1;
        a.fmt = fmt;
        return vsi_nn_AddTensor(graph, OVXLIB_AUTO_ID, &a, data);
    }
    ovxlib_node *node(int32_t op, std::initializer_list<ovxlib_tensor_id> inputs, ovxlib_tensor_id output)
    {
        ovxlib_node *n = vsi_nn_AddNode(graph, op, static_cast<uint32_t>(inputs.size()), 1, nullptr);
        if (!n)
            return nullptr;
        uint32_t k = 0;
        for (ovxlib_tensor_id id : inputs)
            n->inputs[k++] = id;
        n->outputs[0] = output;
        return n;
    }
    void lists(std::initializer_list<ovxlib_tensor_id> inputs, std::initializer_list<ovxlib_tensor_id> outputs)
    {
        std::vector<ovxlib_tensor_id> in(inputs), out(outputs);
        ASSERT_EQ(vsi_nn_SetGraphInputs(graph, in.data(), static_cast<uint32_t>(in.size())), 0);
        ASSERT_EQ(vsi_nn_SetGraphOutputs(graph, out.data(), static_cast<uint32_t>(out.size())), 0);
    }
    // Set-up and verification; the stderr text of a refusal in *refusal.
    bool ready(std::string *refusal = nullptr)
    {
        testing::internal::CaptureStderr();
        const bool ok = vsi_nn_SetupGraph(graph, 0) == 0 && vsi_nn_VerifyGraph(graph) == 0;
        const std::string text = testing::internal::GetCapturedStderr();
        if (refusal)
            *refusal = text;
        else if (!ok)
            ADD_FAILURE() << text;
        return ok;
    }
    template <typename T>
    void write(ovxlib_tensor_id id, const std::vector<T> &values)
    {
        ASSERT_EQ(vsi_nn_CopyDataToTensor(graph, vsi_nn_GetTensor(graph, id), values.data()), 0);
    }
    template <typename T>
    std::vector<T> read(ovxlib_tensor_id id)
    {
        ovxlib_tensor *t = vsi_nn_GetTensor(graph, id);
        uint8_t *bytes = vsi_nn_ConvertTensorToData(graph, t);
        if (!bytes) {
            ADD_FAILURE() << "no host copy of tensor " << id;
            return {};
        }
        size_t count = 1;
        for (uint32_t i = 0; i < t->attr.dim_count; ++i)
            count *= t->attr.sizes[i];
        std::vector<T> values(count);
        std::memcpy(values.data(), bytes, count * sizeof(T));
        vsi_nn_Free(bytes);
        return values;
    }
    bool run() { return vsi_nn_RunGraph(graph) == 0; }

    ovxlib_context *context = nullptr;
    ovxlib_graph *graph = nullptr;
};

} // namespace ovxtest

#endif
