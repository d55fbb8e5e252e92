// Small tensors over host vectors for the post-processing suites: each keeps
// a run of guard values behind its elements so a test can see that nothing
// past the tensor's end was written.
#ifndef KESTRUNE_TESTS_POSTPROC_UTIL_H
#define KESTRUNE_TESTS_POSTPROC_UTIL_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "kestrune/nn.h"

namespace kestrune {
namespace test {

template <typename E> struct TypeOf;
template <> struct TypeOf<float> { static constexpr nn_type value = NN_TYPE_F32; };
template <> struct TypeOf<int32_t> { static constexpr nn_type value = NN_TYPE_I32; };

template <typename E> class Host {
public:
    static constexpr size_t kGuard = 8;
    static constexpr E kSentinel = static_cast<E>(-7777);

    Host(std::vector<int32_t> shape, std::vector<E> values = {}, E fill = E(0),
         nn_engine* engine = nullptr, nn_type type = TypeOf<E>::value)
        : shape_(std::move(shape))
    {
        size_t volume = 1;
        for (int32_t d : shape_)
            volume *= static_cast<size_t>(d);
        volume_ = volume;
        data_.assign(volume + kGuard, kSentinel);
        for (size_t i = 0; i < volume; ++i)
            data_[i] = i < values.size() ? values[i] : fill;
        t_ = nn_tensor_init(record_, engine);
        nn_tensor_assign(t_, type, static_cast<int>(shape_.size()), shape_.data(), data_.data());
    }
    ~Host() { nn_tensor_release(t_); }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    nn_tensor* t() const { return t_; }
    operator nn_tensor*() const { return t_; }
    E* data() { return data_.data(); }
    E& operator[](size_t i) { return data_[i]; }
    size_t volume() const { return volume_; }
    std::vector<E> values() const { return std::vector<E>(data_.begin(), data_.begin() + volume_); }
    bool GuardIntact() const
    {
        for (size_t i = volume_; i < data_.size(); ++i)
            if (std::memcmp(&data_[i], &kSentinel, sizeof(E)) != 0)
                return false;
        return true;
    }

private:
    alignas(8) unsigned char record_[152];
    std::vector<int32_t> shape_;
    std::vector<E> data_;
    size_t volume_ = 0;
    nn_tensor* t_ = nullptr;
};

using F32 = Host<float>;
using I32 = Host<int32_t>;

}  // namespace test
}  // namespace kestrune

#endif
