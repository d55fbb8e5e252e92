/* A QEMU TCG plug-in that counts executed guest instructions between two
 * marker functions of the guest program.
 *
 * Every translated block adds its length to one counter as it runs (an
 * inline add, no call); a block that starts in the function named by
 * `begin` (default "kestrune_insn_begin") notes the counter, one in `end`
 * (default "kestrune_insn_end") writes the count since the last begin to
 * the file named by `out`, as a decimal line at offset 0, before the guest
 * returns from the marker.  The guest reads the file after its end marker,
 * so a program can print its own figures.  Without `out` the counts go to
 * stderr, one line each.  One guest thread is assumed; counts of other threads
 * land in the same counter.
 *
 *   qemu-aarch64 -plugin libinsn_count.so,out=/tmp/counts prog
 *
 * Debian's qemu-user ships no plug-in header: the few types and functions
 * used here are declared below as QEMU's plug-in API (version 1, QEMU 7.2)
 * documents them.  Blocks that leave early (a fault in the middle) are
 * counted whole; the benchmark's kernels do not fault. */
#include <fcntl.h>
#include <inttypes.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* ---- the plug-in API, as documented ------------------------------------ */

#define QEMU_PLUGIN_EXPORT __attribute__((visibility("default")))
typedef uint64_t qemu_plugin_id_t;
typedef struct qemu_info_t qemu_info_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;

enum qemu_plugin_cb_flags {
    QEMU_PLUGIN_CB_NO_REGS,
    QEMU_PLUGIN_CB_R_REGS,
    QEMU_PLUGIN_CB_RW_REGS,
};

enum qemu_plugin_op {
    QEMU_PLUGIN_INLINE_ADD_U64,
};

typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void* userdata);
typedef void (*qemu_plugin_vcpu_udata_cb_t)(unsigned int vcpu_index, void* userdata);
typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb* tb);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
void qemu_plugin_register_vcpu_tb_exec_cb(struct qemu_plugin_tb* tb,
                                          qemu_plugin_vcpu_udata_cb_t cb,
                                          enum qemu_plugin_cb_flags flags, void* userdata);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb* tb, enum qemu_plugin_op op,
                                              void* ptr, uint64_t imm);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb,
                                    void* userdata);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb* tb);
struct qemu_plugin_insn* qemu_plugin_tb_get_insn(const struct qemu_plugin_tb* tb, size_t idx);
const char* qemu_plugin_insn_symbol(const struct qemu_plugin_insn* insn);
void qemu_plugin_outs(const char* string);

QEMU_PLUGIN_EXPORT int qemu_plugin_version = 1;
QEMU_PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t* info,
                                           int argc, char** argv);

/* ---- the counter ------------------------------------------------------- */

static uint64_t executed;
static uint64_t begun;
static uint64_t intervals;
static char begin_name[128] = "kestrune_insn_begin";
static char end_name[128] = "kestrune_insn_end";
static int out_fd = -1;

static void on_begin(unsigned int vcpu, void* udata)
{
    (void)vcpu;
    (void)udata;
    begun = executed;
}

static void on_end(unsigned int vcpu, void* udata)
{
    (void)vcpu;
    (void)udata;
    const uint64_t n = executed - begun;
    char line[64];
    const int len = snprintf(line, sizeof line, "%" PRIu64 "\n", n);
    ++intervals;
    if (out_fd >= 0) {
        if (ftruncate(out_fd, 0) != 0 || pwrite(out_fd, line, (size_t)len, 0) != len)
            qemu_plugin_outs("insn_count: cannot write the count file\n");
    } else {
        fputs(line, stderr);
    }
}

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb* tb)
{
    (void)id;
    const size_t n = qemu_plugin_tb_n_insns(tb);
    if (n == 0)
        return;
    qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &executed, n);
    const char* sym = qemu_plugin_insn_symbol(qemu_plugin_tb_get_insn(tb, 0));
    if (!sym)
        return;
    if (strcmp(sym, begin_name) == 0)
        qemu_plugin_register_vcpu_tb_exec_cb(tb, on_begin, QEMU_PLUGIN_CB_NO_REGS, NULL);
    else if (strcmp(sym, end_name) == 0)
        qemu_plugin_register_vcpu_tb_exec_cb(tb, on_end, QEMU_PLUGIN_CB_NO_REGS, NULL);
}

static void on_plugin_exit(qemu_plugin_id_t id, void* udata)
{
    (void)id;
    (void)udata;
    char line[96];
    snprintf(line, sizeof line, "insn_count: %" PRIu64 " instructions, %" PRIu64 " intervals\n",
             executed, intervals);
    fputs(line, stderr);
    if (out_fd >= 0)
        close(out_fd);
}

static int copy_name(char* dst, size_t size, const char* value)
{
    if (strlen(value) >= size || !*value)
        return 0;
    strcpy(dst, value);
    return 1;
}

QEMU_PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t* info,
                                           int argc, char** argv)
{
    (void)info;
    for (int i = 0; i < argc; ++i) {
        const char* a = argv[i];
        int ok = 0;
        if (strncmp(a, "begin=", 6) == 0)
            ok = copy_name(begin_name, sizeof begin_name, a + 6);
        else if (strncmp(a, "end=", 4) == 0)
            ok = copy_name(end_name, sizeof end_name, a + 4);
        else if (strncmp(a, "out=", 4) == 0)
            ok = (out_fd = open(a + 4, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) >= 0;
        if (!ok) {
            fprintf(stderr, "insn_count: bad argument '%s' (begin=SYM, end=SYM, out=FILE)\n", a);
            return -1;
        }
    }
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
    qemu_plugin_register_atexit_cb(id, on_plugin_exit, NULL);
    return 0;
}
