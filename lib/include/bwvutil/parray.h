#ifndef BWVUTIL_PARRAY_H
#define BWVUTIL_PARRAY_H

#include <stdint.h>
#include <bwvutil/export.h>

BWV_BEGIN_DECLS

/* Growable array of the caller's pointers; grows by grow_step slots, never shrinks. */
typedef struct parray {
    uint32_t tag;
    int32_t init_size;
    int32_t grow_step;
    int32_t capacity;
    int32_t count;
    void **items;
} parray;

/* Negative init_size selects 64, negative grow_step 16. NULL on allocation failure,
 * with nothing left allocated. */
BWV_API parray *parray_createx(int init_size, int grow_step, uint32_t tag);
/* parray_createx(64, 16, tag). */
BWV_API parray *parray_create(uint32_t tag);
/* -1 for a NULL array or item; -2 when the array is full and cannot grow (unchanged). */
BWV_API int parray_add(parray *arr, void *item);
/* Removes the first slot holding exactly item; 0 also when none does; -1 for NULLs. */
BWV_API int parray_del(parray *arr, void *item);
/* The item at index, still the caller's; NULL for a NULL array or index out of range. */
BWV_API void *parray_at(parray *arr, int index);
/* Number of items; -1 for NULL. */
BWV_API int parray_count(parray *arr);
/* Sorts as NUL-terminated strings, NULL items last. Always 0. */
BWV_API int parray_sort(parray *arr);
/* qsort comparator over slots holding char pointers: strcmp order, a NULL item after
 * every string. */
BWV_API int str_compare(const void *a, const void *b);
/* Frees the array, not the items. -1 for NULL. */
BWV_API int parray_destroy(parray *arr);
/* free()s every non-NULL item first. -1 for NULL. */
BWV_API int parray_destroy_free(parray *arr);

BWV_END_DECLS

#endif
