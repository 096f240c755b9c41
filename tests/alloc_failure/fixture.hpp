// Shared fixture of the allocation-failure tests.
#pragma once

#include "alloc_hooks.hpp"
#include "support/bwvtest.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace bwv::test::alloc {

class AllocFailure : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!hooks_active())
            GTEST_SKIP() << "the sanitizer owns the allocator; failures cannot be injected";
    }
};

// With a private folder in dir_, made before any injection and removed afterwards;
// skipped tests make none.
class AllocFailureInDir : public AllocFailure {
protected:
    void SetUp() override
    {
        AllocFailure::SetUp();
        if (IsSkipped())
            return;
        tmp_.emplace();
        dir_ = tmp_->path();
    }
    void TearDown() override { tmp_.reset(); }

    std::string dir_;

private:
    std::optional<TempDir> tmp_;
};

struct Free {
    void operator()(void *p) const { std::free(p); }
};
using CStr = std::unique_ptr<char, Free>;

}  // namespace bwv::test::alloc
