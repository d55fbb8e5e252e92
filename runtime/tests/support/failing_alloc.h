// Failing allocations for the allocation-failure suites.  A program that
// includes this header (in one source file) is linked with
// -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc: while armed, the k-th
// allocation from then on made by the arming thread returns NULL (other
// threads, such as a test's socket reader, are never failed).
#ifndef KESTRUNE_TESTS_FAILING_ALLOC_H
#define KESTRUNE_TESTS_FAILING_ALLOC_H

#include <cstddef>
#include <cstdint>

namespace failing_alloc {
inline int countdown = -1;  // allocations left before the failing one; -1: off
inline int calls = 0;       // allocations seen while armed
inline size_t largest = 0;  // the largest size asked for while armed
inline size_t fail_above = SIZE_MAX;  // while armed, larger requests fail too
inline thread_local bool armed_here = false;

inline bool fail_now(size_t size)
{
    if (!armed_here || countdown < 0)
        return false;
    ++calls;
    if (size > largest)
        largest = size;
    if (size > fail_above)
        return true;
    return countdown-- == 0;
}

// Arms the k-th allocation from now to fail (k 0: the next one).
inline void arm(int k)
{
    calls = 0;
    largest = 0;
    countdown = k;
    armed_here = true;
}

// Stops and resumes the arming thread's failures, keeping the countdown.
inline void pause()
{
    armed_here = false;
}

inline void resume()
{
    armed_here = true;
}

inline void disarm()
{
    countdown = -1;
    armed_here = false;
    fail_above = SIZE_MAX;
}
}  // namespace failing_alloc

extern "C" {
void* __real_malloc(size_t);
void* __real_calloc(size_t, size_t);
void* __real_realloc(void*, size_t);
void* __wrap_malloc(size_t n)
{
    return failing_alloc::fail_now(n) ? nullptr : __real_malloc(n);
}
void* __wrap_calloc(size_t n, size_t s)
{
    return failing_alloc::fail_now(n * s) ? nullptr : __real_calloc(n, s);
}
void* __wrap_realloc(void* p, size_t n)
{
    return failing_alloc::fail_now(n) ? nullptr : __real_realloc(p, n);
}
}

#endif
