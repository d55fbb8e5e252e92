// A model written to a temporary file and mapped back read-only, as the
// runtime plug-in holds a model file: a write into its bytes faults, and the
// hash shows that they are as written.
#ifndef KESTRUNE_TESTS_READ_ONLY_MODEL_H
#define KESTRUNE_TESTS_READ_ONLY_MODEL_H

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "kfm_writer.h"

namespace kfm_test {

// FNV-1a over the bytes.
inline uint64_t fnv1a(const uint8_t* p, size_t n)
{
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

// Copies share the mapping; the last one unmaps it.  data() is NULL when
// the file could not be written or mapped.
class ReadOnlyModel {
public:
    ReadOnlyModel() = default;
    explicit ReadOnlyModel(const kfm::Buffer& buf)
    {
        const char* dir = std::getenv("TMPDIR");
        std::string path = std::string(dir && *dir ? dir : "/tmp") + "/kfm-ro-XXXXXX";
        int fd = mkstemp(&path[0]);
        if (fd < 0)
            return;
        const bool written = write(fd, buf.data(), buf.size()) == static_cast<ssize_t>(buf.size());
        void* p = written && buf.size() ? mmap(nullptr, buf.size(), PROT_READ, MAP_PRIVATE, fd, 0)
                                        : MAP_FAILED;
        close(fd);
        unlink(path.c_str());
        if (p != MAP_FAILED)
            map_ = std::make_shared<Mapping>(static_cast<const uint8_t*>(p), buf.size());
    }
    const uint8_t* data() const { return map_ ? map_->data : nullptr; }
    size_t size() const { return map_ ? map_->size : 0; }
    uint64_t hash() const { return fnv1a(data(), size()); }

private:
    struct Mapping {
        Mapping(const uint8_t* d, size_t n) : data(d), size(n) {}
        ~Mapping() { munmap(const_cast<uint8_t*>(data), size); }
        Mapping(const Mapping&) = delete;
        Mapping& operator=(const Mapping&) = delete;
        const uint8_t* data;
        size_t size;
    };
    std::shared_ptr<Mapping> map_;
};

}  // namespace kfm_test

#endif
