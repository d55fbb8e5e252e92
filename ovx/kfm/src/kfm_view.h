/* What the graph builder reads of a KFM layer, through the runtime's model
 * queries. */
#ifndef OVX_KFM_KFM_VIEW_H
#define OVX_KFM_KFM_VIEW_H

#include <stddef.h>
#include <stdint.h>

#include <optional>

#include "kestrune/nn.h"

namespace ovx {

/* A vector inside the model buffer, read by position only through at(). */
template <class T>
struct Span {
    const T* data = nullptr;
    size_t size = 0;

    bool empty() const { return size == 0; }
    T operator[](size_t i) const { return data[i]; }
    std::optional<T> at(size_t i) const
    {
        if (i >= size)
            return std::nullopt;
        return data[i];
    }
    bool contains(T v) const
    {
        for (size_t i = 0; i < size; ++i)
            if (data[i] == v)
                return true;
        return false;
    }
};

using Ints = Span<int32_t>;

/* The per-layer working values of one layer. */
struct LayerView {
    const void* model = nullptr;
    size_t index = 0;
    const char* name = "";
    int type = 0;
    int datatype = NN_TYPE_F32;
    Ints shape;
    Ints zeros;
    Span<float> scales;
    int axis = 0;
    Span<uint32_t> inputs;
};

LayerView read_layer(const void* model, size_t index);

/* A parameter of a layer by key: absent is nullopt; present gives its handle. */
const void* layer_param(const void* model, size_t layer, const char* key);

/* The `shape` list of a parameter (empty when it carries none). */
Ints param_list(const void* param);
/* Element 0 of `data_i16`, nullopt when the parameter carries none. */
std::optional<int> param_int(const void* param);
/* Element 0 of `data_f32`, nullopt when the parameter carries none. */
std::optional<float> param_real(const void* param);
/* String 0 of `data_str`, NULL when the parameter carries none. */
const char* param_text(const void* param);

} // namespace ovx

#endif
