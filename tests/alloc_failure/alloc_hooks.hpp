// Allocation-failure injection. The test program replaces malloc and its kin and the plain
// operator new, so the library, the C++ runtime and libc (stdio, strdup) all allocate
// through here; the real work is left to glibc's allocator, or to the address sanitizer's.
#pragma once

namespace bwv::test::alloc {

// Counts the calling thread's allocations from here on; the fail_at-th fails (with ENOMEM),
// and with rest every later one too.
void arm(long fail_at, bool rest);
// Stops counting; answers whether a failure was injected since arm.
bool disarm();
// Blocks allocated and not yet freed, counted from the start of the process.
long live_blocks();

}  // namespace bwv::test::alloc
