// The wide x86-64 bodies of a kernel that this CPU can run, whatever
// KESTRUNE_KERNELS says, for tests to call directly against a reference:
// wide_bodies<Kernel>(WIDE_BODIES(name)) gives name_avx2 where the CPU has
// AVX2 with FMA and name_avx512 where it has AVX-512 F/BW/DQ/VL; on other
// targets, none.
#ifndef KESTRUNE_TESTS_WIDE_BODIES_H
#define KESTRUNE_TESTS_WIDE_BODIES_H

#include <vector>

#if defined(__x86_64__)
#define WIDE_BODIES(name) name##_avx2, name##_avx512
template <typename Kernel>
std::vector<Kernel*> wide_bodies(Kernel* avx2, Kernel* avx512)
{
    std::vector<Kernel*> bodies;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        bodies.push_back(avx2);
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        bodies.push_back(avx512);
    return bodies;
}
#else
#define WIDE_BODIES(name)
template <typename Kernel>
std::vector<Kernel*> wide_bodies()
{
    return {};
}
#endif

#endif
