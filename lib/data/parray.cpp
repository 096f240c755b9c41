#include <bwvutil/parray.h>

#include <cstdlib>
#include <cstring>

extern "C" {

parray *parray_createx(int init_size, int grow_step, uint32_t tag) {
    if (init_size < 0) init_size = 64;
    if (grow_step < 0) grow_step = 16;
    auto *arr = static_cast<parray *>(calloc(1, sizeof(parray)));
    if (!arr) return nullptr;
    if (init_size > 0) {
        arr->items = static_cast<void **>(calloc(static_cast<size_t>(init_size), sizeof(void *)));
        if (!arr->items) {
            free(arr);
            return nullptr;
        }
    }
    arr->tag = tag;
    arr->init_size = init_size;
    arr->grow_step = grow_step;
    arr->capacity = init_size;
    return arr;
}

parray *parray_create(uint32_t tag) { return parray_createx(64, 16, tag); }

int parray_add(parray *arr, void *item) {
    if (!arr || !item) return -1;
    if (arr->count >= arr->capacity) {
        // A step of 0 means the creator fixed the size; refuse rather than overrun.
        if (arr->grow_step <= 0) return -2;
        int64_t wanted = static_cast<int64_t>(arr->count) + arr->grow_step;
        if (wanted > INT32_MAX) return -2;
        void *grown = realloc(arr->items, static_cast<size_t>(wanted) * sizeof(void *));
        if (!grown) return -2;
        arr->items = static_cast<void **>(grown);
        arr->capacity += arr->grow_step;
    }
    arr->items[arr->count++] = item;
    return 0;
}

int parray_del(parray *arr, void *item) {
    if (!arr || !item) return -1;
    for (int i = 0; i < arr->count; ++i) {
        if (arr->items[i] != item) continue;
        if (i + 1 < arr->count)
            memmove(&arr->items[i], &arr->items[i + 1], static_cast<size_t>(arr->count - i - 1) * sizeof(void *));
        --arr->count;
        break;
    }
    return 0;
}

void *parray_at(parray *arr, int index) {
    if (!arr || index < 0 || index >= arr->count) return nullptr;
    return arr->items[index];
}

int parray_count(parray *arr) { return arr ? arr->count : -1; }

int str_compare(const void *a, const void *b) {
    auto *sa = *static_cast<const char *const *>(a);
    auto *sb = *static_cast<const char *const *>(b);
    if (!sa) return 1;
    if (!sb) return -1;
    return strcmp(sa, sb);
}

int parray_sort(parray *arr) {
    if (arr && arr->count > 1) qsort(arr->items, static_cast<size_t>(arr->count), sizeof(void *), str_compare);
    return 0;
}

int parray_destroy(parray *arr) {
    if (!arr) return -1;
    free(arr->items);
    free(arr);
    return 0;
}

int parray_destroy_free(parray *arr) {
    if (!arr) return -1;
    for (int i = 0; i < arr->count; ++i) free(arr->items[i]);
    return parray_destroy(arr);
}

}  // extern "C"
