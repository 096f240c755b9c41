// Shared fixture of the allocation-failure tests.
#pragma once

#include "alloc_hooks.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace bwv::test::alloc {

class AllocFailure : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!hooks_active())
            GTEST_SKIP() << "the sanitizer owns the allocator; failures cannot be injected";
    }
};

struct Free {
    void operator()(void *p) const { std::free(p); }
};
using CStr = std::unique_ptr<char, Free>;

}  // namespace bwv::test::alloc
