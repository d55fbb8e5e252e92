#include "platform.h"

#include <initializer_list>
#include <memory>

#include "resource.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

/* ---- CPU features and count -------------------------------------------- */

static bool hwcap_loaded;
static unsigned long hwcap_words[2];

bool cpu_has_feature(uint32_t code)
{
    uint32_t cls = (code >> 24) & 0x1F;
    uint32_t word = (code >> 8) & 0xFF;
    if (cls != CPU_FEATURE_CLASS_HWCAP || word > 1)
        return false;
    if (!hwcap_loaded) {
        hwcap_loaded = true;
        hwcap_words[0] = getauxval(AT_HWCAP);
        hwcap_words[1] = getauxval(AT_HWCAP2);
    }
    uint32_t bit = ((code & 0xFF) - 1u) % 32u;
    return ((hwcap_words[word] >> bit) & 1u) != 0;
}

bool cpu_has_features(const uint32_t* codes)
{
    if (!codes)
        return true;
    for (; *codes; ++codes)
        if (!cpu_has_feature(*codes))
            return false;
    return true;
}

static int cached_cpu_count;

int cpu_count(void)
{
    if (cached_cpu_count == 0) {
        long n = sysconf(_SC_NPROCESSORS_ONLN);
        cached_cpu_count = n > 0 ? (int)n : -1;
    }
    return cached_cpu_count;
}

void omp_wait_default(void)
{
    if (!getenv("OMP_WAIT_POLICY") && !getenv("GOMP_SPINCOUNT"))
        setenv("GOMP_SPINCOUNT", GOMP_SPINCOUNT_DEFAULT, 0);
}

/* ---- Clock ------------------------------------------------------------- */

typedef int (*clock_gettime_fn)(clockid_t, struct timespec*);

static bool clock_first_call = true;
static clock_gettime_fn clock_fn;
static int64_t clock_base;

static clock_gettime_fn lookup_clock_gettime(void)
{
    static const char* const libraries[] = {"c", "rt"};
    for (size_t i = 0; i < sizeof libraries / sizeof libraries[0]; ++i) {
        /* A name that does not open gives NULL: dlsym then searches the
         * default scope, where the process's own clock_gettime lives. */
        void* handle = dlopen(libraries[i], RTLD_NOW);
        void* sym = dlsym(handle, "clock_gettime");
        if (sym)
            return (clock_gettime_fn)sym;
    }
    return NULL;
}

int64_t clock_now_ns(void)
{
    if (clock_first_call) {
        clock_first_call = false;
        clock_fn = lookup_clock_gettime();
        if (clock_fn) {
            struct timespec ts;
            clock_fn(CLOCK_MONOTONIC, &ts);
            clock_base = (int64_t)ts.tv_sec;
        } else {
            struct timeval tv;
            printf("WARNING: clock_gettime not available, using lower resolution gettimeofday.\n");
            gettimeofday(&tv, NULL);
            clock_base = (int64_t)tv.tv_sec;
        }
    }
    if (clock_fn) {
        struct timespec ts;
        clock_fn(CLOCK_MONOTONIC, &ts);
        return ((int64_t)ts.tv_sec - clock_base) * 1000000000LL + (int64_t)ts.tv_nsec;
    }
    struct timeval tv;
    gettimeofday(&tv, NULL);
    return ((int64_t)tv.tv_sec - clock_base) * 1000000000LL + (int64_t)tv.tv_usec * 1000LL;
}

void sleep_us(int64_t microseconds)
{
    if (microseconds <= 0)
        return;
    struct timespec req = {(time_t)(microseconds / 1000000), (long)(microseconds % 1000000) * 1000L};
    struct timespec rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

/* ---- Dynamic loader ---------------------------------------------------- */

void* dl_open(const char* path) { return dlopen(path, RTLD_NOW); }
void* dl_sym(void* handle, const char* name) { return dlsym(handle, name); }
int dl_close(void* handle) { return dlclose(handle); }
const char* dl_error(void) { return dlerror(); }

/* ---- System information ------------------------------------------------ */

namespace platform {
namespace {

struct SysinfoFree {
    void operator()(sysinfo* info) const noexcept { sysinfo_free(info); }
};

char* copy_text(const char* s)
{
    return s ? strdup(s) : nullptr;
}

} // namespace
} // namespace platform

sysinfo* sysinfo_new(void)
{
    /* Every failure below returns; the owners free what was taken so far. */
    std::unique_ptr<sysinfo, platform::SysinfoFree> info(platform::calloc_one<sysinfo>().release());
    if (!info)
        return nullptr;

    info->hostname = static_cast<char*>(malloc(256));
    if (info->hostname && gethostname(info->hostname, 256) != 0) {
        free(info->hostname);
        info->hostname = nullptr;
    }
    if (info->hostname)
        info->hostname[255] = '\0';

    struct utsname u;
    if (uname(&u) == 0) {
        info->os_name = platform::copy_text(u.sysname);
        info->os_version = platform::copy_text(u.version);
        info->os_description = static_cast<char*>(malloc(512));
        if (info->os_description)
            snprintf(info->os_description, 512, "%s %s (%s %s)", u.sysname, u.release, u.version,
                     u.machine);
    }

    platform::unique_malloc<sysinfo_device> device = platform::calloc_one<sysinfo_device>();
    info->devices = static_cast<sysinfo_device**>(calloc(1, sizeof *info->devices));
    if (!device || !info->devices)
        return nullptr;
    device->arch = platform::copy_text("armv8");
    if (!device->arch)
        return nullptr;
    info->devices[0] = device.release();
    info->device_count = 1;
    return info.release();
}

void sysinfo_free(sysinfo* info)
{
    if (!info)
        return;
    for (char* text : {info->os_name, info->os_description, info->os_version, info->hostname,
                       info->extra1, info->extra2, info->extra3})
        free(text);
    for (int i = 0; i < info->device_count; ++i) {
        sysinfo_device* d = info->devices[i];
        if (!d)
            continue;
        for (char* text : {d->name, d->arch, d->model, d->extra})
            free(text);
        free(d);
    }
    free(info->devices);
    free(info);
}
