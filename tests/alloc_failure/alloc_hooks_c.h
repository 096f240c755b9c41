/* State shared by the replacement allocator (C) and the test driver (C++). */
#ifndef BWV_TESTS_ALLOC_HOOKS_C_H
#define BWV_TESTS_ALLOC_HOOKS_C_H

#include <pthread.h>
#include <stddef.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BWV_ALLOC_HOOKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define BWV_ALLOC_HOOKS 0
#endif
#endif
#ifndef BWV_ALLOC_HOOKS
#define BWV_ALLOC_HOOKS 1
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct bwv_alloc_state {
    pthread_t owner;
    int owner_set;
    int armed;
    long fail_at;
    int fail_rest;
    long seen;
    int injected;
    int tracking;
    long live;
    int overflow;
};

#if BWV_ALLOC_HOOKS
extern struct bwv_alloc_state bwv_alloc_state;
void bwv_alloc_table_clear(void);
void bwv_alloc_find_spared(void);
#endif

#ifdef __cplusplus
}
#endif

#endif
