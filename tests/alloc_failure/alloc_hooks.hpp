// Allocation-failure injection. The test program replaces malloc and its kin and the plain
// operator new, so the library, the C++ runtime and libc (stdio, strdup) all allocate
// through here; the real work is left to glibc's allocator, or to the address sanitizer's
// when there is one, which then also finds the leaks. Under the thread sanitizer nothing is
// replaced and the tests skip.
#pragma once

namespace bwv::test::alloc {

bool active();
// Counts the calling thread's allocations from here on; the fail_at-th fails (with ENOMEM),
// and with rest every later one too.
void arm(long fail_at, bool rest);
// Stops counting; answers whether a failure was injected since arm.
bool disarm();
// Starts the leak count of the calling thread.
void track();
// Blocks the calling thread allocated since track and did not free.
long leaked();

}  // namespace bwv::test::alloc
