/* GEMM kernel timings against OpenBLAS measured in the same run, one thread.
 *
 * The program runs itself twice: once with OPENBLAS_CORETYPE=Nehalem on
 * x86-64 (OpenBLAS's 128-bit SSE kernels, the lane width of our NEON and
 * portable bodies; on aarch64 OpenBLAS's own NEON choice), where every case
 * has a target ratio, and once with OpenBLAS's own kernel choice, printed
 * without targets.  Exit status 1 when a targeted ratio is below its target.
 *
 * Each figure is the best of several runs; rates are GFLOP/s for the float
 * kernels and integer operations (2 per multiply-add) per second for the
 * quantised ones. */
#include <cblas.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <sys/wait.h>

#include "kernels/cpu_isa.h"
#include "kernels/fixed_point.h"
#include "kernels/gemm_f32.h"
#include "kernels/gemm_quant.h"
#include "kernels/gemm_x86.h"

static double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + 1e-9 * (double)ts.tv_nsec;
}

typedef void (*bench_fn)(void* ctx);

/* Best time of `runs` runs, each repeating fn until at least 20 ms passed. */
static double best_time(bench_fn fn, void* ctx, int runs)
{
    fn(ctx); /* warm caches */
    double best = 1e30;
    for (int r = 0; r < runs; ++r) {
        int reps = 0;
        double t0 = now_s(), t;
        do {
            fn(ctx);
            ++reps;
            t = now_s() - t0;
        } while (t < 0.02);
        if (t / reps < best)
            best = t / reps;
    }
    return best;
}

static float* rand_floats(size_t n, unsigned seed)
{
    float* p = static_cast<float*>(malloc(n * sizeof(float)));
    srand(seed);
    for (size_t i = 0; i < n; ++i)
        p[i] = (float)rand() / (float)RAND_MAX - 0.5f;
    return p;
}

static int8_t* rand_i8(size_t n, unsigned seed)
{
    int8_t* p = static_cast<int8_t*>(malloc(n));
    srand(seed);
    for (size_t i = 0; i < n; ++i)
        p[i] = (int8_t)(rand() & 0xff);
    return p;
}

typedef struct ctx {
    int M, N, K;
    const float *A, *B, *Bp;
    float* C;
    const int8_t *qa, *qb;
    int8_t* qc;
    const int32_t *bias, *mult, *shift, *rz;
    nn_quant_params qo, qi, qw, qbias;
    int32_t q6;
    gemm_i8_columns cols;
} ctx;

/* ---- ours ---- */
static void ours_packed16_tiles(void* p)
{
    ctx* c = static_cast<ctx*>(p);
    for (int i = 0; i < c->M; i += 4) {
        int rows = c->M - i < 4 ? c->M - i : 4;
        gemm_f32(c->C + (size_t)i * c->N, c->A + (size_t)i * c->K, 'N', c->Bp, 16, NULL, 0, rows,
                 c->N, c->K);
    }
}
/* The convolution's tiles: as many rows per call as the widest tile of
 * this CPU's width-16 body (gemm_f32_panels16_rows). */
static void ours_packed16_conv_tiles(void* p)
{
    ctx* c = static_cast<ctx*>(p);
    const int t = gemm_f32_panels16_rows();
    for (int i = 0; i < c->M; i += t) {
        int rows = c->M - i < t ? c->M - i : t;
        gemm_f32(c->C + (size_t)i * c->N, c->A + (size_t)i * c->K, 'N', c->Bp, 16, NULL, 0, rows,
                 c->N, c->K);
    }
}
static void ours_plain(void* p)
{
    ctx* c = static_cast<ctx*>(p);
    gemm_f32(c->C, c->A, 'N', c->B, 'N', NULL, 0, c->M, c->N, c->K);
}
static void ours_nt(void* p)
{
    ctx* c = static_cast<ctx*>(p);
    gemm_f32(c->C, c->A, 'N', c->B, 'T', NULL, 0, c->M, c->N, c->K);
}
static void ours_i8_t(void* p)
{
    ctx* c = static_cast<ctx*>(p);
    gemm_i8_t(c->qc, c->qa, c->qb, c->bias, 0, c->M, c->N, c->K, c->mult, c->shift, c->rz, 0, 0,
              0, c->q6);
}
static void ours_panel8(void* p)
{
    ctx* c = static_cast<ctx*>(p);
    gemm_i8_panel8(c->qc, c->qa, c->qb, c->bias, 0, c->M, c->N, c->K, &c->qo, &c->qi, &c->qw,
                   &c->qbias, c->rz, c->q6);
}

/* The convolution's INT8 product: 4-row tiles through the layout-8 entry
 * with its column stage made once (the widest body this CPU has). */
static void ours_columns_tiles(void* p)
{
    ctx* c = static_cast<ctx*>(p);
    for (int i = 0; i < c->M; i += 4) {
        int rows = c->M - i < 4 ? c->M - i : 4;
        kernel_gemm_i8_panel8_columns(c->qc + (size_t)i * c->N, c->qa + (size_t)i * c->K, c->qb,
                                      0, rows, c->N, c->K, &c->cols);
    }
}

/* ---- OpenBLAS ---- */
static void blas_gemm_nn(void* p)
{
    ctx* c = static_cast<ctx*>(p);
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, c->M, c->N, c->K, 1.0f, c->A, c->K,
                c->B, c->N, 0.0f, c->C, c->N);
}
static void blas_gemm_nt(void* p)
{
    ctx* c = static_cast<ctx*>(p);
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, c->M, c->N, c->K, 1.0f, c->A, c->K, c->B,
                c->K, 0.0f, c->C, c->N);
}
static void blas_gemv(void* p)
{
    ctx* c = static_cast<ctx*>(p);
    cblas_sgemv(CblasRowMajor, CblasTrans, c->K, c->N, 1.0f, c->B, c->N, c->A, 1, 0.0f, c->C, 1);
}

typedef struct bench_case {
    const char* name;
    int M, N, K;
    bench_fn ours, ref;
    double target;
    int quant;
} bench_case;

static int run_cases(int with_targets)
{
    const bench_case cases[] = {
        {"packed 16, 4-row tiles", 3136, 64, 576, ours_packed16_tiles, blas_gemm_nn, 0.80, 0},
        {"packed 16, conv tiles", 3136, 64, 576, ours_packed16_conv_tiles, blas_gemm_nn, 0.80, 0},
        {"plain 'N' 512^3", 512, 512, 512, ours_plain, blas_gemm_nn, 0.55, 0},
        {"gemm_f32_nt vs sgemm(B^T)", 64, 1008, 1024, ours_nt, blas_gemm_nt, 0.45, 0},
        {"one row 'N' vs sgemv", 1, 1008, 1024, ours_plain, blas_gemv, 0.75, 0},
        {"gemm_i8_t (int ops)", 3136, 64, 576, ours_i8_t, blas_gemm_nn, 0.70, 1},
        {"gemm_i8_panel8 (int ops)", 3136, 64, 576, ours_panel8, blas_gemm_nn, 0.70, 1},
        {"i8 columns, 4-row tiles", 3136, 64, 576, ours_columns_tiles, blas_gemm_nn, 0.70, 1},
    };
    const int runs = 5;
    int failed = 0;
    printf("Our kernels: %s; OpenBLAS core: %s (%s)\n", cpu_isa_name(), openblas_get_corename(),
           with_targets ? "targets apply" : "its own kernel choice, no targets");
    printf("%-28s %10s %10s %8s %8s\n", "case", "ours", "openblas", "ratio", "target");
    for (size_t n = 0; n < sizeof cases / sizeof cases[0]; ++n) {
        const bench_case* bc = &cases[n];
        ctx c;
        memset(&c, 0, sizeof c);
        c.M = bc->M, c.N = bc->N, c.K = bc->K;
        size_t mk = (size_t)c.M * c.K, kn = (size_t)c.K * c.N, mn = (size_t)c.M * c.N;
        float* A = rand_floats(mk, 1);
        float* B = rand_floats(kn, 2);
        float* Bp = static_cast<float*>(malloc(kn * sizeof(float)));
        /* B packed in panels of 16 columns */
        size_t o = 0;
        for (int j0 = 0; j0 < c.N; j0 += 16)
            for (int k = 0; k < c.K; ++k)
                for (int j = j0; j < j0 + 16 && j < c.N; ++j)
                    Bp[o++] = B[(size_t)k * c.N + j];
        c.A = A, c.B = B, c.Bp = Bp;
        c.C = static_cast<float*>(malloc(mn * sizeof(float)));
        int8_t* qa = rand_i8(mk, 3);
        int8_t* qb = rand_i8(kn, 4);
        int8_t* qc = static_cast<int8_t*>(malloc(mn));
        int32_t* bias = static_cast<int32_t*>(calloc((size_t)c.N, sizeof(int32_t)));
        int32_t* mult = static_cast<int32_t*>(malloc((size_t)c.N * sizeof(int32_t)));
        int32_t* shift = static_cast<int32_t*>(malloc((size_t)c.N * sizeof(int32_t)));
        int32_t* rz = static_cast<int32_t*>(calloc((size_t)c.N, sizeof(int32_t)));
        static const float s_in = 0.02f, s_w = 0.01f, s_out = 0.5f;
        static const int32_t zero = 0;
        for (int j = 0; j < c.N; ++j)
            quantize_multiplier(&mult[j], &shift[j], s_in * s_w / s_out);
        c.qa = qa, c.qb = qb, c.qc = qc, c.bias = bias, c.mult = mult, c.shift = shift, c.rz = rz;
        c.qo = (nn_quant_params){1, &zero, 1, &s_out, 1, NN_TYPE_I8};
        c.qi = (nn_quant_params){1, &zero, 1, &s_in, 1, NN_TYPE_I8};
        c.qw = (nn_quant_params){1, &zero, 1, &s_w, 1, NN_TYPE_I8};
        c.qbias = (nn_quant_params){1, &zero, 1, &s_in, 4, NN_TYPE_I32};
        c.q6 = gemm_quant_q6(&c.qo);
        float* factors = static_cast<float*>(malloc((size_t)c.N * sizeof(float)));
        int32_t* init = static_cast<int32_t*>(malloc((size_t)c.N * sizeof(int32_t)));
        gemm_i8_columns_fill(factors, init, c.N, bias, &c.qo, &c.qi, &c.qw, &c.qbias, rz);
        c.cols = (gemm_i8_columns){factors, init, 0, c.q6, gemm_i8_has_min(qb, kn), nullptr};

        double t_ours = best_time(bc->ours, &c, runs);
        double t_ref = best_time(bc->ref, &c, runs);
        double ops = 2.0 * c.M * c.N * c.K;
        double r_ours = ops / t_ours * 1e-9, r_ref = ops / t_ref * 1e-9;
        double ratio = r_ours / r_ref;
        int below = with_targets && ratio < bc->target;
        failed |= below;
        if (with_targets)
            printf("%-28s %9.2f%s %9.2fG %8.3f %8.2f%s\n", bc->name, r_ours, bc->quant ? "i" : "G",
                   r_ref, ratio, bc->target, below ? "  BELOW TARGET" : "");
        else
            printf("%-28s %9.2f%s %9.2fG %8.3f %8s\n", bc->name, r_ours, bc->quant ? "i" : "G",
                   r_ref, ratio, "-");
        free(A), free(B), free(Bp), free(c.C), free(qa), free(qb), free(qc);
        free(bias), free(mult), free(shift), free(rz), free(factors), free(init);
    }
    return failed;
}

/* Runs this program again with the given OPENBLAS_CORETYPE (NULL: unset). */
static int run_child(const char* self, const char* coretype)
{
    pid_t pid = fork();
    if (pid < 0)
        return 2;
    if (pid == 0) {
        if (coretype)
            setenv("OPENBLAS_CORETYPE", coretype, 1);
        else
            unsetenv("OPENBLAS_CORETYPE");
        setenv("KESTRUNE_GEMM_BENCH_CHILD", coretype ? "targets" : "info", 1);
        execl("/proc/self/exe", self, (char*)NULL);
        _exit(2);
    }
    int st = 0;
    if (waitpid(pid, &st, 0) < 0 || !WIFEXITED(st))
        return 2;
    return WEXITSTATUS(st);
}

int main(int argc, char** argv)
{
    (void)argc;
    const char* child = getenv("KESTRUNE_GEMM_BENCH_CHILD");
    openblas_set_num_threads(1);
    if (child) {
        setvbuf(stdout, NULL, _IOLBF, 0);
        return run_cases(strcmp(child, "targets") == 0);
    }
#if defined(__x86_64__)
    const char* targeted = "Nehalem";
#else
    const char* targeted = NULL; /* OpenBLAS picks its NEON kernels */
#endif
    int st = run_child(argv[0], targeted);
    fflush(stdout);
    printf("\n");
    fflush(stdout);
    run_child(argv[0], NULL);
    return st == 0 ? 0 : 1;
}
