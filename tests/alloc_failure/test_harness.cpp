#include "fixture.hpp"

#include <gtest/gtest-spi.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace bwv::test::alloc;
using AllocFailureHarness = AllocFailure;

// Guards the harness itself: if the replacement allocator were not in use, every other
// test here would pass without having failed a single allocation.
TEST_F(AllocFailureHarness, EveryKindOfAllocationIsCountedAndFailed)
{
    long failing_runs = exhaust("one of each", [](Attempt &run) {
        void *m = nullptr, *c = nullptr, *r = nullptr;
        char *s = nullptr, *sn = nullptr;
        int *n = nullptr;
        bool threw = false;
        run.during([&] {
            m = malloc(8);
            c = calloc(2, 8);
            r = realloc(nullptr, 8);
            s = strdup("text");
            sn = strndup("text", 2);
            try {
                n = new int(5);
            } catch (const std::bad_alloc &) {
                threw = true;
            }
        });
        int missing = !m + !c + !r + !s + !sn + !n;
        int expected = !run.failed() ? 0 : run.fail_rest() ? 6 - static_cast<int>(run.fail_at()) + 1 : 1;
        EXPECT_EQ(missing, expected);
        EXPECT_EQ(threw, n == nullptr);
        free(m);
        free(c);
        free(r);
        free(s);
        free(sn);
        delete n;
    });
    EXPECT_EQ(failing_runs, 6);
}

TEST_F(AllocFailureHarness, GrowingAnOlderBlockIsNotALeak)
{
    void *old = malloc(4);
    exhaust("realloc of a block made before the run", [&](Attempt &run) {
        void *grown = nullptr;
        run.during([&] { grown = realloc(old, 64); });
        if (grown)
            old = grown;
    });
    free(old);
}

TEST_F(AllocFailureHarness, ABlockLeftAllocatedIsReported)
{
    static void *kept[4];
    EXPECT_NONFATAL_FAILURE(exhaust("deliberate leak",
                                    [](Attempt &run) {
                                        run.during([] {
                                            for (void *&k : kept)
                                                if (!k) {
                                                    k = malloc(1);
                                                    break;
                                                }
                                        });
                                    }),
                            "blocks left allocated");
    for (void *k : kept)
        free(k);
}

TEST_F(AllocFailureHarness, StdioAllocationsAreCounted)
{
    char path[] = "/tmp/bwv-alloc-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    long failing_runs = exhaust("fopen", [&](Attempt &run) {
        FILE *f = nullptr;
        run.during([&] { f = fopen(path, "r"); });
        EXPECT_EQ(f == nullptr, run.failed());
        if (f)
            fclose(f);
    });
    EXPECT_GE(failing_runs, 1);
    unlink(path);
}

}  // namespace
