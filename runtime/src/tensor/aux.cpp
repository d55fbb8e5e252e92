/* Auxiliary objects kept with a tensor: one object with a free function
 * called with the tensor, or a doubly linked list of named objects.  The
 * record remembers which form its aux field holds. */
#include <stdlib.h>
#include <string.h>

#include "tensor/tensor_internal.h"

static nn_aux_object* list_first(const nn_tensor* t)
{
    if (t->aux_form != NN_AUX_LIST)
        return NULL;
    nn_aux_object* node = (nn_aux_object*)t->aux;
    while (node && node->prev)
        node = node->prev;
    return node;
}

static nn_aux_object* list_find(const nn_tensor* t, const char* name)
{
    if (!name)
        return NULL;
    for (nn_aux_object* node = list_first(t); node; node = node->next)
        if (node->name && strcmp(node->name, name) == 0)
            return node;
    return NULL;
}

static void list_free(nn_aux_object* first)
{
    nn_aux_object* node = first;
    while (node && node->next)
        node = node->next;
    while (node) {
        nn_aux_object* prev = node->prev;
        if (node->free_name)
            free((void*)node->name);
        if (node->free_object && node->free)
            node->free(node->object);
        free(node);
        node = prev;
    }
}

void nn_tensor_aux_release(nn_tensor* t)
{
    if (t->aux_form == NN_AUX_LIST) {
        list_free(list_first(t));
        t->aux = NULL;
    } else if (t->aux_free) {
        /* The single object stays visible in the aux field. */
        t->aux_free(t);
    }
    t->aux_free = NULL;
    t->aux_form = NN_AUX_NONE;
}

NN_API void nn_tensor_set_aux_object(nn_tensor* t, void* object, nn_aux_free_fn free_fn)
{
    if (!t)
        return;
    /* Storing the object it already holds must not free it. */
    if (!(t->aux_form == NN_AUX_SINGLE && t->aux == object))
        nn_tensor_aux_release(t);
    t->aux = object;
    t->aux_free = free_fn;
    t->aux_form = (object || free_fn) ? NN_AUX_SINGLE : NN_AUX_NONE;
}

NN_API void* nn_tensor_aux_object(const nn_tensor* t) { return t ? t->aux : NULL; }

NN_API nn_aux_free_fn nn_tensor_aux_free(const nn_tensor* t) { return t ? t->aux_free : NULL; }

NN_API void nn_tensor_set_aux_object_by_name(nn_tensor* t, const char* name, void* object,
                                             void (*free_fn)(void*), bool free_object,
                                             bool free_name)
{
    if (!t || !name)
        return;
    nn_aux_object* node = list_find(t, name);
    if (node) {
        /* Replaced in place: the old object and name go only where the node
         * owned them and they are not being stored again. */
        if (node->free_object && node->free && node->object != object)
            node->free(node->object);
        if (node->free_name && node->name != name)
            free((void*)node->name);
        node->name = name;
        node->free_name = free_name;
        node->object = object;
        node->free = free_fn;
        node->free_object = free_object;
        return;
    }
    node = (nn_aux_object*)calloc(1, sizeof *node);
    if (!node)
        return;
    node->name = name;
    node->free_name = free_name;
    node->object = object;
    node->free = free_fn;
    node->free_object = free_object;
    if (t->aux_form != NN_AUX_LIST) {
        /* A single object (or a stale pointer left by release) is not a list. */
        nn_tensor_aux_release(t);
        t->aux = node;
        t->aux_form = NN_AUX_LIST;
        return;
    }
    nn_aux_object* last = list_first(t);
    if (!last) {
        t->aux = node;
        return;
    }
    while (last->next)
        last = last->next;
    last->next = node;
    node->prev = last;
    t->aux = list_first(t);
}

NN_API void* nn_tensor_aux_object_by_name(const nn_tensor* t, const char* name)
{
    if (!t)
        return NULL;
    nn_aux_object* node = list_find(t, name);
    return node ? node->object : NULL;
}

void (*nn_tensor_aux_free_by_name(const nn_tensor* t, const char* name))(void*)
{
    if (!t)
        return NULL;
    nn_aux_object* node = list_find(t, name);
    return node ? node->free : NULL;
}

void nn_tensor_aux_unlink(nn_tensor* t, nn_aux_object* node)
{
    if (!t || !node || t->aux_form != NN_AUX_LIST)
        return;
    if (node->prev)
        node->prev->next = node->next;
    if (node->next)
        node->next->prev = node->prev;
    if (t->aux == node)
        t->aux = node->next ? (void*)node->next : (void*)node->prev;
    node->prev = NULL;
    node->next = NULL;
    if (!t->aux)
        t->aux_form = NN_AUX_NONE;
}

NN_API void free_aux_buffer(void* buffer) { free(buffer); }

void nn_aux_free_tensor(void* object) { nn_tensor_release((nn_tensor*)object); }

NN_API void release_aux_tensor(nn_tensor* t)
{
    if (!t || t->aux_form != NN_AUX_SINGLE || !t->aux)
        return;
    nn_tensor* object = (nn_tensor*)t->aux;
    /* Released once: the tensor no longer owns it (the field keeps showing it). */
    t->aux_free = NULL;
    t->aux_form = NN_AUX_NONE;
    nn_tensor_release(object);
}
