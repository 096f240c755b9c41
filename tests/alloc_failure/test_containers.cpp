#include <bwvutil/dbuf.h>
#include <bwvutil/parray.h>

#include "fixture.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace bwv::test::alloc;
using AllocFailureContainers = AllocFailure;

std::string unread(dbuf *b)
{
    auto *p = static_cast<const char *>(dbuf_data(b));
    return p ? std::string(p, dbuf_len(b)) : std::string();
}

TEST_F(AllocFailureContainers, ArrayCreationIsAllOrNothing)
{
    exhaust("parray_createx", [](Attempt &run) {
        parray *arr = nullptr;
        run.during([&] { arr = parray_createx(8, 4, 7); });
        if (run.failed()) {
            EXPECT_EQ(arr, nullptr);
        } else {
            ASSERT_NE(arr, nullptr);
            EXPECT_EQ(arr->capacity, 8);
            EXPECT_EQ(arr->tag, 7u);
        }
        parray_destroy(arr);
    });
}

TEST_F(AllocFailureContainers, FailedGrowthLeavesTheArrayAsItWas)
{
    static char a[] = "a", b[] = "b", c[] = "c";
    exhaust("parray_add growth", [](Attempt &run) {
        parray *arr = parray_createx(2, 2, 0);
        ASSERT_NE(arr, nullptr);
        ASSERT_EQ(parray_add(arr, a), 0);
        ASSERT_EQ(parray_add(arr, b), 0);
        void **items = arr->items;
        int rc = 99;
        run.during([&] { rc = parray_add(arr, c); });
        if (rc == -2) {
            EXPECT_TRUE(run.failed());
            EXPECT_EQ(arr->count, 2);
            EXPECT_EQ(arr->capacity, 2);
            EXPECT_EQ(arr->items, items);
            EXPECT_EQ(parray_at(arr, 0), a);
            EXPECT_EQ(parray_at(arr, 1), b);
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_FALSE(run.failed());
            EXPECT_EQ(arr->count, 3);
            EXPECT_EQ(arr->capacity, 4);
            EXPECT_EQ(parray_at(arr, 2), c);
        }
        // The array stays usable after a refused add.
        EXPECT_EQ(parray_add(arr, c), 0);
        parray_destroy(arr);
    });
}

TEST_F(AllocFailureContainers, FirstGrowthOfAnArrayWithoutStorage)
{
    static char a[] = "a";
    exhaust("parray_add first storage", [](Attempt &run) {
        parray *arr = parray_createx(0, 16, 0);
        ASSERT_NE(arr, nullptr);
        int rc = 99;
        run.during([&] { rc = parray_add(arr, a); });
        if (run.failed()) {
            EXPECT_EQ(rc, -2);
            EXPECT_EQ(arr->count, 0);
            EXPECT_EQ(arr->capacity, 0);
            EXPECT_EQ(arr->items, nullptr);
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(arr->capacity, 16);
        }
        parray_destroy(arr);
    });
}

TEST_F(AllocFailureContainers, BufferCreationIsAllOrNothing)
{
    exhaust("dbuf_createx", [](Attempt &run) {
        dbuf *b = nullptr;
        run.during([&] { b = dbuf_createx(32); });
        if (run.failed()) {
            EXPECT_EQ(b, nullptr);
        } else {
            ASSERT_NE(b, nullptr);
            EXPECT_EQ(b->size, 32u);
        }
        dbuf_destroy(b);
    });
    exhaust("dbuf_create", [](Attempt &run) {
        dbuf *b = nullptr;
        run.during([&] { b = dbuf_create(); });
        EXPECT_EQ(b == nullptr, run.failed());
        dbuf_destroy(b);
    });
}

TEST_F(AllocFailureContainers, FailedWriteKeepsTheUnreadBytes)
{
    exhaust("dbuf_write growth", [](Attempt &run) {
        dbuf *b = dbuf_create();
        ASSERT_NE(b, nullptr);
        ASSERT_EQ(dbuf_write(b, "0123456789", 10), 0);
        char skip[4];
        ASSERT_EQ(dbuf_read(b, skip, 4), 4u);
        std::string more(300, 'x');
        int rc = -1;
        run.during([&] { rc = dbuf_write(b, more.data(), static_cast<uint32_t>(more.size())); });
        if (run.failed()) {
            EXPECT_EQ(rc, 1);
            EXPECT_EQ(unread(b), "456789");
            EXPECT_LE(b->wpos, b->size);
            EXPECT_EQ(b->room, b->size - b->wpos);
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(unread(b), "456789" + more);
        }
        // Still usable: a small write afterwards goes through.
        EXPECT_EQ(dbuf_write(b, "!", 1), 0);
        dbuf_destroy(b);
    });
    exhaust("dbuf_write first storage", [](Attempt &run) {
        dbuf *b = dbuf_create();
        ASSERT_NE(b, nullptr);
        int rc = -1;
        run.during([&] { rc = dbuf_write(b, "abc", 3); });
        if (run.failed()) {
            EXPECT_EQ(rc, 1);
            EXPECT_EQ(dbuf_len(b), 0u);
            EXPECT_EQ(b->data, nullptr);
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(unread(b), "abc");
        }
        dbuf_destroy(b);
    });
    // Appending its own bytes needs a side copy and then growth; either failing must say so.
    exhaust("dbuf_write own bytes", [](Attempt &run) {
        dbuf *b = dbuf_create();
        ASSERT_EQ(dbuf_write(b, "abcdef", 6), 0);
        int rc = -1;
        run.during([&] { rc = dbuf_write(b, dbuf_data(b), 6); });
        EXPECT_EQ(rc, run.failed() ? 1 : 0);
        EXPECT_EQ(unread(b), run.failed() ? "abcdef" : "abcdefabcdef");
        dbuf_destroy(b);
    });
}

TEST_F(AllocFailureContainers, FailedCopyOfABufferGivesNull)
{
    exhaust("dbuf_copy_data", [](Attempt &run) {
        dbuf *b = dbuf_create();
        ASSERT_EQ(dbuf_write(b, "payload", 7), 0);
        void *copy = nullptr;
        run.during([&] { copy = dbuf_copy_data(b); });
        if (run.failed()) {
            EXPECT_EQ(copy, nullptr);
        } else {
            ASSERT_NE(copy, nullptr);
            EXPECT_EQ(std::memcmp(copy, "payload", 7), 0);
        }
        EXPECT_EQ(unread(b), "payload");
        free(copy);
        dbuf_destroy(b);
    });
}

}  // namespace
