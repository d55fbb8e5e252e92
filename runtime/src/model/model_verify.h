/* FlatBuffers verification of KFM buffers: the verifier runtime and the four
 * table verifiers of the KFM schema.  Nothing here allocates or writes; every
 * offset is checked against [0, end) in unsigned 32-bit arithmetic before it
 * is read. */
#ifndef KESTRUNE_MODEL_VERIFY_H
#define KESTRUNE_MODEL_VERIFY_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Verifier result codes; texts from nn_model_validate_error. */
enum kfm_verify_error {
    KFM_VERIFY_OK = 0,
    KFM_VERIFY_BUFFER_HEADER_TOO_SMALL = 1,
    KFM_VERIFY_IDENTIFIER_MISMATCH = 2,
    KFM_VERIFY_MAX_NESTING_LEVEL_REACHED = 3,
    KFM_VERIFY_REQUIRED_FIELD_MISSING = 4,
    KFM_VERIFY_RUNTIME_BUFFER_HEADER_NOT_ALIGNED = 5,
    KFM_VERIFY_RUNTIME_BUFFER_SIZE_TOO_LARGE = 6,
    KFM_VERIFY_STRING_NOT_ZERO_TERMINATED = 7,
    KFM_VERIFY_STRING_OUT_OF_RANGE = 8,
    KFM_VERIFY_TABLE_FIELD_NOT_ALIGNED = 12,
    KFM_VERIFY_TABLE_FIELD_OUT_OF_RANGE = 13,
    KFM_VERIFY_TABLE_HEADER_OUT_OF_RANGE_OR_UNALIGNED = 15,
    KFM_VERIFY_VECTOR_HEADER_OUT_OF_RANGE_OR_UNALIGNED = 16,
    KFM_VERIFY_STRING_HEADER_OUT_OF_RANGE_OR_UNALIGNED = 17,
    KFM_VERIFY_TABLE_SIZE_OUT_OF_RANGE = 20,
    KFM_VERIFY_VECTOR_COUNT_EXCEEDS_REPRESENTABLE_VECTOR_SIZE = 25,
    KFM_VERIFY_VECTOR_OUT_OF_RANGE = 26,
    KFM_VERIFY_VTABLE_HEADER_OUT_OF_RANGE = 27,
    KFM_VERIFY_VTABLE_HEADER_TOO_SMALL = 28,
    KFM_VERIFY_VTABLE_OFFSET_OUT_OF_RANGE_OR_UNALIGNED = 29,
    KFM_VERIFY_VTABLE_SIZE_OUT_OF_RANGE_OR_UNALIGNED = 30,
    KFM_VERIFY_NOT_SUPPORTED = 36
};

/* Default nesting budget: every table and every table vector uses one level. */
#define KFM_VERIFY_MAX_LEVELS 100

/* The table being verified, as handed to a table verifier. */
typedef struct kfm_table_verifier_descriptor {
    const uint8_t* buf;
    uint32_t end;     /* buffer size */
    int ttl;          /* nesting levels left */
    uint32_t vtable;  /* vtable position in the buffer */
    uint32_t table;   /* table position in the buffer */
    uint16_t tsize;   /* table size in bytes */
    uint16_t vsize;   /* vtable size in bytes */
} kfm_table_verifier_descriptor;

typedef int kfm_table_verifier_fn(const kfm_table_verifier_descriptor* td);

/* Field checks; each returns 0 or the first error. */
int kfm_verify_field(const kfm_table_verifier_descriptor* td, unsigned id, uint32_t size,
                     uint32_t align);
int kfm_verify_string_field(const kfm_table_verifier_descriptor* td, unsigned id, int required);
int kfm_verify_vector_field(const kfm_table_verifier_descriptor* td, unsigned id, int required,
                            uint32_t elem_size, uint32_t align, uint32_t max_count);
int kfm_verify_string_vector_field(const kfm_table_verifier_descriptor* td, unsigned id,
                                   int required);
int kfm_verify_table_vector_field(const kfm_table_verifier_descriptor* td, unsigned id,
                                  int required, kfm_table_verifier_fn* tvf);

/* The buffer header (alignment, size, identifier) then the root table. */
int kfm_verify_table_as_root(const void* buf, size_t size, const char* identifier,
                             kfm_table_verifier_fn* tvf);

/* The KFM schema's table verifiers. */
int kfm_model_verify_table(const kfm_table_verifier_descriptor* td);
int kfm_layer_verify_table(const kfm_table_verifier_descriptor* td);
int kfm_parameter_verify_table(const kfm_table_verifier_descriptor* td);
int kfm_resource_verify_table(const kfm_table_verifier_descriptor* td);

#ifdef __cplusplus
}
#endif

#endif
