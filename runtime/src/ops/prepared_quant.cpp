/* The record of what a weights tensor's prepared quantisation arrays were
 * made for. */
#include "ops/prepared_quant.h"

prepared_quant* prepared_quant_of(const nn_tensor* t)
{
    return static_cast<prepared_quant*>(nn_tensor_aux_object_by_name(t, PREPARED_QUANT_NAME));
}

int prepared_quant_covers(const nn_tensor* t, int32_t n)
{
    const prepared_quant* p = prepared_quant_of(t);
    return !p || p->channels >= n;
}
