#include "alloc_hooks.hpp"
#include "alloc_hooks_c.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#if BWV_ALLOC_HOOKS

// The global operator new and delete are replaced too, so that a failed C++ allocation is
// counted and injected exactly like a C one (one call, one allocation).
namespace {

void *new_or_throw(std::size_t n)
{
    void *p = std::malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

void *aligned_new_or_throw(std::size_t n, std::align_val_t al)
{
    void *p = aligned_alloc(static_cast<std::size_t>(al), n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

}  // namespace

void *operator new(std::size_t n) { return new_or_throw(n); }
void *operator new[](std::size_t n) { return new_or_throw(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept { return std::malloc(n ? n : 1); }
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept { return std::malloc(n ? n : 1); }
void *operator new(std::size_t n, std::align_val_t al) { return aligned_new_or_throw(n, al); }
void *operator new[](std::size_t n, std::align_val_t al) { return aligned_new_or_throw(n, al); }
void *operator new(std::size_t n, std::align_val_t al, const std::nothrow_t &) noexcept
{
    return aligned_alloc(static_cast<std::size_t>(al), n ? n : 1);
}
void *operator new[](std::size_t n, std::align_val_t al, const std::nothrow_t &) noexcept
{
    return aligned_alloc(static_cast<std::size_t>(al), n ? n : 1);
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept { std::free(p); }

#endif

namespace bwv::test::alloc {

#if BWV_ALLOC_HOOKS

namespace {

void own_thread()
{
    bwv_alloc_state.owner = pthread_self();
    __atomic_store_n(&bwv_alloc_state.owner_set, 1, __ATOMIC_RELEASE);
}

// Far more than any call under test makes; reaching it means the path never ends.
constexpr long kMaxRuns = 200000;

}  // namespace

bool hooks_active() { return true; }

void arm(long fail_at, bool fail_rest)
{
    own_thread();
    bwv_alloc_find_spared();
    bwv_alloc_state.seen = 0;
    bwv_alloc_state.injected = 0;
    bwv_alloc_state.fail_at = fail_at;
    bwv_alloc_state.fail_rest = fail_rest;
    __atomic_store_n(&bwv_alloc_state.armed, 1, __ATOMIC_RELEASE);
}

void disarm() { __atomic_store_n(&bwv_alloc_state.armed, 0, __ATOMIC_RELEASE); }
long allocations_seen() { return bwv_alloc_state.seen; }
bool failure_injected() { return bwv_alloc_state.injected != 0; }

void begin_tracking()
{
    own_thread();
    bwv_alloc_table_clear();
    __atomic_store_n(&bwv_alloc_state.tracking, 1, __ATOMIC_RELEASE);
}

size_t end_tracking()
{
    __atomic_store_n(&bwv_alloc_state.tracking, 0, __ATOMIC_RELEASE);
    EXPECT_FALSE(bwv_alloc_state.overflow) << "too many live blocks to track";
    return static_cast<size_t>(bwv_alloc_state.live);
}

void Attempt::during(const std::function<void()> &call)
{
    struct Disarm {
        ~Disarm() { disarm(); }
    } guard;
    arm(fail_at_, fail_rest_);
    call();
    disarm();
    failed_ = failed_ || failure_injected();
}

long exhaust(const std::string &what, const std::function<void(Attempt &)> &scenario)
{
    const bool failed_before = ::testing::Test::HasFailure();
    {
        Attempt warm(0);
        scenario(warm);
    }
    for (long n = 0;; ++n) {
        bool path_ended = false;
        for (bool rest : {false, true}) {
            if (n == 0 && rest)
                continue;
            std::string trace = what + ", allocation " + std::to_string(n) +
                                (rest ? " and every later one" : "") + " failing";
            SCOPED_TRACE(trace);
            Attempt run(n, rest);
            begin_tracking();
            scenario(run);
            size_t live = end_tracking();
            EXPECT_EQ(live, 0u) << "blocks left allocated";
            // The first fault is enough to act on; later runs would only repeat it.
            if (live != 0 || (!failed_before && ::testing::Test::HasFailure()))
                return n;
            // A run that never reached the n-th allocation has walked the whole path.
            if (n > 0 && !run.failed()) {
                path_ended = true;
                break;
            }
        }
        if (path_ended) {
            std::printf("  %s: %ld allocations failed in turn\n", what.c_str(), n - 1);
            return n - 1;
        }
        if (n >= kMaxRuns) {
            ADD_FAILURE() << "the path did not end after " << n << " allocations";
            return n;
        }
    }
}

#else

bool hooks_active() { return false; }
void arm(long, bool) {}
void disarm() {}
long allocations_seen() { return 0; }
bool failure_injected() { return false; }
void begin_tracking() {}
size_t end_tracking() { return 0; }

void Attempt::during(const std::function<void()> &call) { call(); }

long exhaust(const std::string &, const std::function<void(Attempt &)> &) { return 0; }

#endif

}  // namespace bwv::test::alloc
