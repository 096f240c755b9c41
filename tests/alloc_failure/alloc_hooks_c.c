/* Replacement allocator of the test executable. glibc lets a program replace malloc and
 * friends; its own functions (strdup, fopen, ...) and every shared library then call
 * these. The real work is left to glibc's allocator through its __libc_ entry points. */
#define _GNU_SOURCE
#include "alloc_hooks_c.h"

#if BWV_ALLOC_HOOKS

#include <errno.h>
#include <link.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t n, size_t size);
extern void *__libc_realloc(void *p, size_t size);
extern void __libc_free(void *p);
extern void *__libc_memalign(size_t alignment, size_t size);

#define TABLE_SIZE (1u << 16)
#define TOMBSTONE ((void *)1)

/* Not static: the allocator's declarations carry the leaf attribute, and state that
 * escapes this unit keeps the compiler from assuming the allocator cannot change it. */
struct bwv_alloc_state bwv_alloc_state;
void *bwv_alloc_table[TABLE_SIZE];
static int table_lock;

static int on_owner_thread(void)
{
    return bwv_alloc_state.owner_set && pthread_equal(pthread_self(), bwv_alloc_state.owner);
}

static void lock_table(void)
{
    while (__atomic_test_and_set(&table_lock, __ATOMIC_ACQUIRE)) {
    }
}

static void unlock_table(void) { __atomic_clear(&table_lock, __ATOMIC_RELEASE); }

static size_t slot_of(const void *p)
{
    uintptr_t v = (uintptr_t)p;
    v ^= v >> 17;
    v *= (uintptr_t)0x9E3779B97F4A7C15ull;
    return (size_t)(v >> 20) & (TABLE_SIZE - 1);
}

static void remember(void *p)
{
    lock_table();
    size_t i = slot_of(p);
    for (size_t k = 0; k < TABLE_SIZE; ++k, i = (i + 1) & (TABLE_SIZE - 1)) {
        if (bwv_alloc_table[i] == NULL || bwv_alloc_table[i] == TOMBSTONE) {
            bwv_alloc_table[i] = p;
            ++bwv_alloc_state.live;
            unlock_table();
            return;
        }
    }
    bwv_alloc_state.overflow = 1;
    unlock_table();
}

/* Forgets p; answers whether it was tracked. */
static int forget(void *p)
{
    if (!p || !__atomic_load_n(&bwv_alloc_state.tracking, __ATOMIC_ACQUIRE))
        return 0;
    int found = 0;
    lock_table();
    size_t i = slot_of(p);
    for (size_t k = 0; k < TABLE_SIZE && bwv_alloc_table[i] != NULL;
         ++k, i = (i + 1) & (TABLE_SIZE - 1)) {
        if (bwv_alloc_table[i] == p) {
            bwv_alloc_table[i] = TOMBSTONE;
            --bwv_alloc_state.live;
            found = 1;
            break;
        }
    }
    unlock_table();
    return found;
}

/* libplist does not check its own allocations (a failed one is written through), so
 * failing them would only crash inside libplist. Its allocations are therefore never
 * failed, though still tracked for leaks; every allocation of ours around its calls is. */
static uintptr_t spared_lo, spared_hi;

static int find_spared(struct dl_phdr_info *info, size_t size, void *data)
{
    (void)size;
    (void)data;
    if (!info->dlpi_name || !strstr(info->dlpi_name, "libplist"))
        return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        if (ph->p_type != PT_LOAD || !(ph->p_flags & PF_X))
            continue;
        uintptr_t lo = info->dlpi_addr + ph->p_vaddr;
        uintptr_t hi = lo + ph->p_memsz;
        if (!spared_lo || lo < spared_lo)
            spared_lo = lo;
        if (hi > spared_hi)
            spared_hi = hi;
    }
    return 1;
}

void bwv_alloc_find_spared(void)
{
    if (!spared_hi)
        dl_iterate_phdr(find_spared, NULL);
}

/* Counts one allocation of the owner thread; answers 1 when it is the one to fail. */
static int should_fail_from(const void *caller)
{
    if (!bwv_alloc_state.armed || !on_owner_thread())
        return 0;
    if ((uintptr_t)caller >= spared_lo && (uintptr_t)caller < spared_hi)
        return 0;
    long n = ++bwv_alloc_state.seen;
    if (bwv_alloc_state.fail_at > 0 &&
        (n == bwv_alloc_state.fail_at || (bwv_alloc_state.fail_rest && n > bwv_alloc_state.fail_at))) {
        bwv_alloc_state.injected = 1;
        return 1;
    }
    return 0;
}

static void *track(void *p)
{
    if (p && __atomic_load_n(&bwv_alloc_state.tracking, __ATOMIC_ACQUIRE) && on_owner_thread())
        remember(p);
    return p;
}

void bwv_alloc_table_clear(void)
{
    lock_table();
    memset(bwv_alloc_table, 0, sizeof bwv_alloc_table);
    bwv_alloc_state.live = 0;
    bwv_alloc_state.overflow = 0;
    unlock_table();
}

#define should_fail() should_fail_from(__builtin_return_address(0))

static void *malloc_from(size_t size, const void *caller)
{
    if (should_fail_from(caller)) {
        errno = ENOMEM;
        return NULL;
    }
    return track(__libc_malloc(size));
}

void *malloc(size_t size)
{
    if (should_fail()) {
        errno = ENOMEM;
        return NULL;
    }
    return track(__libc_malloc(size));
}

void *calloc(size_t n, size_t size)
{
    if (should_fail()) {
        errno = ENOMEM;
        return NULL;
    }
    return track(__libc_calloc(n, size));
}

void *realloc(void *p, size_t size)
{
    if (!p)
        return malloc_from(size, __builtin_return_address(0));
    if (size == 0) {
        forget(p);
        return __libc_realloc(p, 0);
    }
    if (should_fail()) {
        errno = ENOMEM;
        return NULL;
    }
    /* A resized block keeps the tracking state of the block it replaces: growth of an
     * object made before tracking began is not a new allocation. */
    void *q = __libc_realloc(p, size);
    if (q && forget(p))
        remember(q);
    return q;
}

void free(void *p)
{
    forget(p);
    __libc_free(p);
}

void *memalign(size_t alignment, size_t size)
{
    if (should_fail()) {
        errno = ENOMEM;
        return NULL;
    }
    return track(__libc_memalign(alignment, size));
}

void *aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void **out, size_t alignment, size_t size)
{
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void *p = memalign(alignment, size);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}

char *strdup(const char *s)
{
    size_t n = strlen(s) + 1;
    char *p = malloc_from(n, __builtin_return_address(0));
    if (p)
        memcpy(p, s, n);
    return p;
}

char *strndup(const char *s, size_t max)
{
    size_t n = strnlen(s, max);
    char *p = malloc_from(n + 1, __builtin_return_address(0));
    if (p) {
        memcpy(p, s, n);
        p[n] = '\0';
    }
    return p;
}

#endif
