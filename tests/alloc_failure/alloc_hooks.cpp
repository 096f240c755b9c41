#include "alloc_hooks.hpp"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#ifdef BWV_ASAN_ALLOCATOR
#define REAL(f) __interceptor_##f
#else
#define REAL(f) __libc_##f
#endif
extern "C" void *REAL(malloc)(size_t);
extern "C" void *REAL(calloc)(size_t, size_t);
extern "C" void *REAL(realloc)(void *, size_t);
extern "C" void REAL(free)(void *);

namespace {

std::atomic<bool> armed;
std::atomic<long> live;
pthread_t owner;
bool rest, hit;
long fail_at, seen;

// libplist writes through a failed allocation, so failing one only crashes inside it: its
// own allocations are counted for leaks but never failed.
bool fails(const void *caller) {
    Dl_info info;
    if (!armed || !pthread_equal(pthread_self(), owner)) return false;
    if (dladdr(caller, &info) && info.dli_fname && std::strstr(info.dli_fname, "libplist")) return false;
    if (++seen != fail_at && !(rest && seen > fail_at)) return false;
    errno = ENOMEM;
    return hit = true;
}

void *counted(void *p) {
    live += p != nullptr;
    return p;
}

void *malloc_from(size_t n, const void *caller) { return fails(caller) ? nullptr : counted(REAL(malloc)(n)); }

}  // namespace

#define CALLER __builtin_return_address(0)
extern "C" {
void *malloc(size_t n) noexcept { return malloc_from(n, CALLER); }
void *calloc(size_t n, size_t size) noexcept { return fails(CALLER) ? nullptr : counted(REAL(calloc)(n, size)); }
void free(void *p) noexcept {
    live -= p != nullptr;
    REAL(free)(p);
}
void *realloc(void *p, size_t n) noexcept {
    if (!p) return malloc_from(n, CALLER);
    if (n == 0) return free(p), nullptr;
    return fails(CALLER) ? nullptr : REAL(realloc)(p, n);
}
// For the caller's address (libplist copies its strings so), and because the sanitizer's
// own strdup would not come here.
char *strdup(const char *s) noexcept {
    size_t n = std::strlen(s) + 1;
    void *p = malloc_from(n, CALLER);
    return p ? static_cast<char *>(std::memcpy(p, s, n)) : nullptr;
}
}

// The sanitizer's operator new and delete would not come here either.
void *operator new(size_t n) {
    void *p = std::malloc(n ? n : 1);
    return p ? p : throw std::bad_alloc();
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

void arm(long n, bool all_later) {
    owner = pthread_self(), seen = 0, hit = false, fail_at = n, rest = all_later;
    armed = true;
}
bool disarm() {
    armed = false;
    return hit;
}
long live_blocks() { return live; }

}  // namespace bwv::test::alloc
