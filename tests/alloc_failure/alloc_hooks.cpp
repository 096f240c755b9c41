#include "alloc_hooks.hpp"

#include <dlfcn.h>
#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#ifdef __SANITIZE_THREAD__
namespace bwv::test::alloc {
bool active() { return false; }
void arm(long, bool) {}
bool disarm() { return false; }
void track() {}
long leaked() { return 0; }
}  // namespace bwv::test::alloc
#else

#ifdef BWV_ASAN_ALLOCATOR
#define REAL(f) __interceptor_##f
#else
#define REAL(f) __libc_##f
#endif
extern "C" {
void *REAL(malloc)(size_t);
void *REAL(calloc)(size_t, size_t);
void *REAL(realloc)(void *, size_t);
void *REAL(memalign)(size_t, size_t);
void REAL(free)(void *);
}

namespace {

pthread_t owner;
bool armed, rest, hit, counting;
long fail_at, seen, live;

bool mine() { return pthread_equal(pthread_self(), owner); }

// libplist writes through a failed allocation, so failing one only crashes inside it: its
// own allocations are counted for leaks but never failed.
bool fails(const void *caller)
{
    if (!armed || !mine())
        return false;
    Dl_info info;
    if (dladdr(caller, &info) && info.dli_fname && std::strstr(info.dli_fname, "libplist"))
        return false;
    long n = ++seen;
    if (n == fail_at || (rest && n > fail_at)) {
        errno = ENOMEM;
        return hit = true;
    }
    return false;
}

void *counted(void *p)
{
    if (p && counting && mine())
        ++live;
    return p;
}

void *malloc_from(size_t n, const void *caller) { return fails(caller) ? nullptr : counted(REAL(malloc)(n)); }

}  // namespace

#define CALLER __builtin_return_address(0)
extern "C" {
void *malloc(size_t n) noexcept { return malloc_from(n, CALLER); }
void *calloc(size_t n, size_t size) noexcept { return fails(CALLER) ? nullptr : counted(REAL(calloc)(n, size)); }
void *memalign(size_t al, size_t n) noexcept { return fails(CALLER) ? nullptr : counted(REAL(memalign)(al, n)); }
void *aligned_alloc(size_t al, size_t n) noexcept { return fails(CALLER) ? nullptr : counted(REAL(memalign)(al, n)); }
int posix_memalign(void **out, size_t al, size_t n) noexcept
{
    void *p = fails(CALLER) ? nullptr : counted(REAL(memalign)(al, n));
    return p ? (*out = p, 0) : ENOMEM;
}
void free(void *p) noexcept
{
    if (p && counting && mine())
        --live;
    REAL(free)(p);
}
void *realloc(void *p, size_t n) noexcept
{
    if (!p)
        return malloc_from(n, CALLER);
    if (n == 0) {
        free(p);
        return nullptr;
    }
    return fails(CALLER) ? nullptr : REAL(realloc)(p, n);
}
// Replaced for the caller's address, and because the sanitizer would allocate itself.
char *strndup(const char *s, size_t max) noexcept
{
    size_t n = strnlen(s, max);
    auto *p = static_cast<char *>(malloc_from(n + 1, CALLER));
    if (p) {
        std::memcpy(p, s, n);
        p[n] = '\0';
    }
    return p;
}
char *strdup(const char *s) noexcept
{
    size_t n = std::strlen(s) + 1;
    void *p = malloc_from(n, CALLER);
    return p ? static_cast<char *>(std::memcpy(p, s, n)) : nullptr;
}
}

void *operator new(size_t n)
{
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](size_t n) { return operator new(n); }
void *operator new(size_t n, const std::nothrow_t &) noexcept { return std::malloc(n ? n : 1); }
void *operator new[](size_t n, const std::nothrow_t &) noexcept { return std::malloc(n ? n : 1); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }

namespace bwv::test::alloc {

bool active() { return true; }

void arm(long n, bool all_later)
{
    owner = pthread_self();
    seen = 0;
    hit = false;
    fail_at = n;
    rest = all_later;
    __atomic_store_n(&armed, true, __ATOMIC_SEQ_CST);
}

bool disarm()
{
    __atomic_store_n(&armed, false, __ATOMIC_SEQ_CST);
    return hit;
}

void track()
{
    owner = pthread_self();
    live = 0;
    __atomic_store_n(&counting, true, __ATOMIC_SEQ_CST);
}

long leaked()
{
    __atomic_store_n(&counting, false, __ATOMIC_SEQ_CST);
    return live;
}

}  // namespace bwv::test::alloc
#endif
