/* CPU detection for the wide x86-64 kernels (cpu_isa.h). */
#include "kernels/cpu_isa.h"

#include <cstdlib>
#include <cstring>

namespace {

struct Levels {
    bool avx2, avx512, vnni;
};

Levels detect()
{
    Levels l = {false, false, false};
#if defined(__x86_64__)
    __builtin_cpu_init();
    l.avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    l.avx512 = l.avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    l.vnni = l.avx512 && __builtin_cpu_supports("avx512vnni") &&
             __builtin_cpu_supports("avx512vbmi");
    const char* cap = getenv("KESTRUNE_KERNELS");
    if (cap && strcmp(cap, "baseline") == 0)
        l = Levels{false, false, false};
    else if (cap && strcmp(cap, "avx2") == 0)
        l.avx512 = l.vnni = false;
#endif
    return l;
}

const Levels& levels()
{
    static const Levels l = detect();
    return l;
}

} // namespace

int cpu_isa_avx2(void) { return levels().avx2; }
int cpu_isa_avx512(void) { return levels().avx512; }
int cpu_isa_avx512_vnni(void) { return levels().vnni; }

const char* cpu_isa_name(void)
{
    const Levels& l = levels();
    return l.vnni ? "avx512-vnni" : l.avx512 ? "avx512" : l.avx2 ? "avx2" : "baseline";
}
