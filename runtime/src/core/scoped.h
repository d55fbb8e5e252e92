/* Owners for the runtime's own resources inside an operation: tensor records
 * made for the call and tensor mappings. Each is given back when the owner
 * goes out of scope, on every return path. */
#ifndef KESTRUNE_CORE_SCOPED_H
#define KESTRUNE_CORE_SCOPED_H

#include <memory>
#include <utility>

#include "kestrune/nn.h"

namespace kestrune {

struct TensorReleaser {
    void operator()(nn_tensor* t) const noexcept { nn_tensor_release(t); }
};
/* A tensor record from nn_tensor_init, released with nn_tensor_release. */
using UniqueTensor = std::unique_ptr<nn_tensor, TensorReleaser>;

enum class MapMode { read, write, read_write };

/* One mapping of one tensor, unmapped when the owner ends. data() is NULL
 * when the tensor could not be mapped (no tensor, no data). */
template <MapMode Mode>
class TensorMap {
public:
    using pointer = std::conditional_t<Mode == MapMode::read, const void*, void*>;

    TensorMap() noexcept = default;
    explicit TensorMap(nn_tensor* t) noexcept { map(t); }
    TensorMap(TensorMap&& other) noexcept
        : tensor_(std::exchange(other.tensor_, nullptr)), data_(std::exchange(other.data_, nullptr))
    {
    }
    TensorMap& operator=(TensorMap&& other) noexcept
    {
        if (this != &other) {
            reset();
            tensor_ = std::exchange(other.tensor_, nullptr);
            data_ = std::exchange(other.data_, nullptr);
        }
        return *this;
    }
    TensorMap(const TensorMap&) = delete;
    TensorMap& operator=(const TensorMap&) = delete;
    ~TensorMap() { reset(); }

    /* Maps t (after giving back any earlier mapping); NULL when it cannot. */
    pointer map(nn_tensor* t) noexcept
    {
        reset();
        if (!t)
            return nullptr;
        if constexpr (Mode == MapMode::read)
            data_ = nn_tensor_mapro(t);
        else if constexpr (Mode == MapMode::write)
            data_ = nn_tensor_mapwo(t);
        else
            data_ = nn_tensor_maprw(t);
        if (data_)
            tensor_ = t;
        return data_;
    }
    void reset() noexcept
    {
        if (tensor_)
            nn_tensor_unmap(tensor_);
        tensor_ = nullptr;
        data_ = nullptr;
    }

    pointer data() const noexcept { return data_; }
    template <typename T>
    auto as() const noexcept
    {
        if constexpr (Mode == MapMode::read)
            return static_cast<const T*>(data_);
        else
            return static_cast<T*>(data_);
    }
    explicit operator bool() const noexcept { return data_ != nullptr; }

private:
    nn_tensor* tensor_ = nullptr;
    pointer data_ = nullptr;
};

using ReadMap = TensorMap<MapMode::read>;
using WriteMap = TensorMap<MapMode::write>;
using ReadWriteMap = TensorMap<MapMode::read_write>;

} // namespace kestrune

#endif
