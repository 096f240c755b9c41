#include <bwvutil/ps_utils.h>

#include "fixture.hpp"

#include <unistd.h>

#include <algorithm>

namespace {

using namespace bwv::test::alloc;
using AllocFailureProcessTable = AllocFailure;

// The test's own executable is always in the table, so a search for its name that
// succeeds must find this process.
constexpr char kSelf[] = "test_alloc_failure";

TEST_F(AllocFailureProcessTable, ASearchFindsOrFailsWithoutTouchingItsOutputs)
{
    exhaust("ps_get_pid_all", [](Attempt &run) {
        int32_t sentinel[1] = {-7};
        int32_t *pids = sentinel;
        size_t count = 12345;
        int rc = 1;
        run.during([&] { rc = ps_get_pid_all(kSelf, 1, &pids, &count); });
        if (rc == 0) {
            ASSERT_NE(pids, sentinel);
            EXPECT_NE(std::find(pids, pids + count, static_cast<int32_t>(getpid())), pids + count);
            free(pids);
        } else {
            EXPECT_TRUE(run.failed());
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(pids, sentinel);
            // The count is cleared once the table is read, before the array is taken.
            EXPECT_TRUE(count == 12345u || count == 0u) << count;
        }
    });
    exhaust("ps_get_pid", [](Attempt &run) {
        int32_t pid = -1;
        run.during([&] { pid = ps_get_pid(kSelf); });
        if (!run.failed()) {
            EXPECT_GT(pid, 0);
        } else {
            EXPECT_GE(pid, 0);
        }
    });
}

}  // namespace
