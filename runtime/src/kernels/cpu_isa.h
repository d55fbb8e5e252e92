/* The x86-64 vector extensions the wide kernels are built for, found once per
 * process.
 *
 * Each wide kernel lives in a file of its own compiled for its extension
 * (AVX2 with FMA: x86-64-v3; AVX-512 F/BW/DQ/VL, and VNNI with VBMI for the
 * INT8 dot products); the entries that call them ask these predicates first,
 * so one binary runs on every x86-64 CPU.  The environment variable
 * KESTRUNE_KERNELS caps the choice: "baseline" keeps every kernel on its
 * portable (SSE2) body, "avx2" stops below AVX-512; any other value, or none,
 * takes what the CPU has.  On other targets every predicate is false. */
#ifndef KESTRUNE_KERNELS_CPU_ISA_H
#define KESTRUNE_KERNELS_CPU_ISA_H

#ifdef __cplusplus
extern "C" {
#endif

int cpu_isa_avx2(void);        /* AVX2 and FMA */
int cpu_isa_avx512(void);      /* AVX-512 F, BW, DQ and VL */
int cpu_isa_avx512_vnni(void); /* the above with VNNI and VBMI */

/* The name of the widest level in use: "avx512-vnni", "avx512", "avx2" or
 * "baseline". */
const char* cpu_isa_name(void);

#ifdef __cplusplus
}
#endif

#endif
