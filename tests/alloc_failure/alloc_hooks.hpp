// Allocation-failure injection for tests that link the library statically.
//
// The test executable replaces malloc, calloc, realloc, free, the aligned allocators,
// strdup, strndup and the global operator new and delete, so every allocation made by the
// library, by the C++ runtime on its behalf and by shared libraries it calls (libplist,
// stdio) passes through here. Allocations libplist makes itself are tracked but never
// failed: it writes through a failed allocation, so failing one only crashes inside it.
// Under AddressSanitizer or ThreadSanitizer the sanitizer owns the allocator and nothing
// is replaced; tests then skip.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace bwv::test::alloc {

// False when the allocator could not be replaced (sanitizer builds).
bool hooks_active();

// Counts allocations made on the calling thread while armed; the fail_at-th one (1-based)
// fails, and with fail_rest every later one too; the others succeed. fail_at 0 never fails.
void arm(long fail_at, bool fail_rest = false);
void disarm();
long allocations_seen();
bool failure_injected();

// Records blocks allocated on the calling thread between begin and end, and forgets those
// freed meanwhile (on any thread); end answers how many are still live.
void begin_tracking();
size_t end_tracking();

// One run of a scenario: the scenario prepares its objects, makes the call under test
// inside during(), checks the outcome against the documented failure result, then
// releases everything it holds.
class Attempt {
public:
    explicit Attempt(long fail_at, bool fail_rest = false) : fail_at_(fail_at), fail_rest_(fail_rest) {}
    // fail_at of this run (0: the reference run without failure).
    long fail_at() const { return fail_at_; }
    // Whether every allocation after the fail_at-th fails as well (memory that stays
    // exhausted, which exercises the clean-up paths too).
    bool fail_rest() const { return fail_rest_; }
    // Runs call with injection armed.
    void during(const std::function<void()> &call);
    // True when the injected failure was hit inside during() in this run.
    bool failed() const { return failed_; }

private:
    long fail_at_;
    bool fail_rest_;
    bool failed_ = false;
};

// Runs scenario once to warm up lazily made state, once as the reference run, then with
// allocation n failing for n = 1, 2, 3 ... until a run completes without reaching the
// n-th allocation; each n is run twice, with only the n-th allocation failing and with
// every allocation from the n-th on failing. Every run must leave no block live.
// Returns the number of allocations along the path.
long exhaust(const std::string &what, const std::function<void(Attempt &)> &scenario);

}  // namespace bwv::test::alloc
