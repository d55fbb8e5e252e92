/* Process-wide helpers over Linux and glibc, carried by the serving program,
 * every plug-in and the runtime library in identical form. */
#ifndef KESTRUNE_PLATFORM_H
#define KESTRUNE_PLATFORM_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Feature code: class in bits 24-28 (only 4, the kernel capability words, is
 * known), word in bits 8-15 (0 AT_HWCAP, 1 AT_HWCAP2), bit number + 1 in 0-7. */
#define CPU_FEATURE_CLASS_HWCAP 4u
#define CPU_FEATURE_CODE(word, bit) ((CPU_FEATURE_CLASS_HWCAP << 24) + ((uint32_t)(word) << 8) + ((uint32_t)(bit) + 1u))

bool cpu_has_feature(uint32_t code);
bool cpu_has_features(const uint32_t* codes);
int cpu_count(void);

/* The OpenMP wait this system prefers, for programs to call before libgomp
 * is loaded (it reads its environment once, when it starts): a thread that
 * finds no work spins GOMP_SPINCOUNT_DEFAULT times, then sleeps, instead of
 * libgomp's 300000 spins that keep paused team members' CPUs busy on a
 * shared machine.  The count outlasts the gaps between the operators of one
 * inference (a team that falls asleep there pays a wake-up per operator:
 * 3000 spins made the benchmark network 1.8x slower at 8 threads), not the
 * pause between requests.  Nothing changes when OMP_WAIT_POLICY or
 * GOMP_SPINCOUNT is set: the user's settings win. */
#define GOMP_SPINCOUNT_DEFAULT "10000"
void omp_wait_default(void);

/* Monotonic nanoseconds counted from the whole second of the first call. */
int64_t clock_now_ns(void);
void sleep_us(int64_t microseconds);

void* dl_open(const char* path);
void* dl_sym(void* handle, const char* name);
int dl_close(void* handle);
const char* dl_error(void);

typedef struct sysinfo_device {
    char* name;
    char* arch;
    char* model;
    char* extra;
} sysinfo_device;

typedef struct sysinfo {
    char* os_name;
    char* os_description;
    char* os_version;
    char* hostname;
    char* extra1;
    char* extra2;
    char* extra3;
    sysinfo_device** devices;
    int device_count;
} sysinfo;

sysinfo* sysinfo_new(void);
void sysinfo_free(sysinfo* info);

#ifdef __cplusplus
}
#endif

#endif /* KESTRUNE_PLATFORM_H */
