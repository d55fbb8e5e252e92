/* Owners for what the operating system and the C library hand out: heap
 * blocks from malloc, file descriptors, file mappings, stdio streams and
 * loaded libraries. Each gives its resource back when it goes out of scope,
 * on every path; release() hands it over to a caller instead.
 *
 * Allocation stays malloc/calloc/realloc: the code is built without
 * exceptions, and out-of-memory must come back as a status, never as a
 * throw (the allocation-failure suites fail malloc itself). */
#ifndef KESTRUNE_PLATFORM_RESOURCE_H
#define KESTRUNE_PLATFORM_RESOURCE_H

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

#include "platform.h"

namespace platform {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

/* A malloc'ed block (or array) of T. */
template <typename T>
using unique_malloc = std::unique_ptr<T, FreeDeleter>;

/* count elements of T from malloc (uninitialised) or calloc (zeroed); an
 * empty owner when the allocation fails. */
template <typename T>
unique_malloc<T[]> malloc_array(std::size_t count) noexcept
{
    return unique_malloc<T[]>(static_cast<T*>(std::malloc(count ? count * sizeof(T) : 1)));
}

template <typename T>
unique_malloc<T[]> calloc_array(std::size_t count) noexcept
{
    return unique_malloc<T[]>(static_cast<T*>(std::calloc(count ? count : 1, sizeof(T))));
}

/* Resizes an array from malloc_array/calloc_array to count elements with
 * realloc (new elements uninitialised); false, with the old block still
 * owned and unchanged, when the allocation fails. */
template <typename T>
bool realloc_array(unique_malloc<T[]>& array, std::size_t count) noexcept
{
    void* grown = std::realloc(array.get(), count ? count * sizeof(T) : 1);
    if (!grown)
        return false;
    (void)array.release(); /* realloc took the old block over */
    array.reset(static_cast<T*>(grown));
    return true;
}

/* One zeroed T from calloc. */
template <typename T>
unique_malloc<T> calloc_one() noexcept
{
    return unique_malloc<T>(static_cast<T*>(std::calloc(1, sizeof(T))));
}

/* A file descriptor, closed when the owner ends (-1: none). */
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

/* An mmap'ed region, unmapped when the owner ends. */
class Mapping {
public:
    Mapping() noexcept = default;
    Mapping(void* base, std::size_t size) noexcept : base_(base == MAP_FAILED ? nullptr : base), size_(size) {}
    Mapping(Mapping&& other) noexcept
        : base_(std::exchange(other.base_, nullptr)), size_(std::exchange(other.size_, 0))
    {
    }
    Mapping& operator=(Mapping&& other) noexcept
    {
        if (this != &other) {
            reset();
            base_ = std::exchange(other.base_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() { reset(); }

    void* get() const noexcept { return base_; }
    std::size_t size() const noexcept { return size_; }
    explicit operator bool() const noexcept { return base_ != nullptr; }
    void* release() noexcept
    {
        size_ = 0;
        return std::exchange(base_, nullptr);
    }
    void reset() noexcept
    {
        if (base_)
            ::munmap(base_, size_);
        base_ = nullptr;
        size_ = 0;
    }

private:
    void* base_ = nullptr;
    std::size_t size_ = 0;
};

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

/* A library from dl_open, closed with dl_close when the owner ends. */
struct LibraryCloser {
    void operator()(void* handle) const noexcept { dl_close(handle); }
};
using UniqueLibrary = std::unique_ptr<void, LibraryCloser>;

} // namespace platform

#endif
