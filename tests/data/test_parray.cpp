#include <bwvutil/parray.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

char *dup(const char *s) { return strdup(s); }

TEST(Parray, DefaultsApplyOnlyToNegativeSizes)
{
    parray *a = parray_createx(-1, -1, 7);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->tag, 7u);
    EXPECT_EQ(a->init_size, 64);
    EXPECT_EQ(a->grow_step, 16);
    EXPECT_EQ(a->capacity, 64);
    EXPECT_EQ(a->count, 0);
    EXPECT_NE(a->items, nullptr);
    parray_destroy(a);

    parray *empty = parray_createx(0, 16, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->capacity, 0);
    EXPECT_EQ(empty->items, nullptr);
    int x;
    EXPECT_EQ(parray_add(empty, &x), 0);
    EXPECT_EQ(empty->capacity, 16) << "first add of an unallocated array allocates one step";
    EXPECT_EQ(parray_at(empty, 0), &x);
    parray_destroy(empty);
}

TEST(Parray, GrowsLinearlyByItsStep)
{
    parray *a = parray_create(0);
    ASSERT_NE(a, nullptr);
    static int slots[200];
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(parray_add(a, &slots[i]), 0);
    EXPECT_EQ(a->capacity, 64) << "64 items fit without growing";
    ASSERT_EQ(parray_add(a, &slots[64]), 0);
    EXPECT_EQ(a->capacity, 80);
    for (int i = 65; i < 97; ++i)
        ASSERT_EQ(parray_add(a, &slots[i]), 0);
    EXPECT_EQ(a->capacity, 112);
    EXPECT_EQ(parray_count(a), 97);
    for (int i = 0; i < 97; ++i)
        ASSERT_EQ(parray_at(a, i), &slots[i]) << "insertion order kept across growth, slot " << i;
    parray_destroy(a);
}

TEST(Parray, FullArrayWithoutGrowStepRefusesTheItem)
{
    parray *a = parray_createx(2, 0, 0);
    ASSERT_NE(a, nullptr);
    int x, y, z;
    EXPECT_EQ(parray_add(a, &x), 0);
    EXPECT_EQ(parray_add(a, &y), 0);
    EXPECT_EQ(parray_add(a, &z), -2);
    EXPECT_EQ(parray_count(a), 2);
    EXPECT_EQ(a->capacity, 2);
    parray_destroy(a);

    parray *none = parray_createx(0, 0, 0);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(parray_add(none, &x), -2);
    EXPECT_EQ(parray_count(none), 0);
    parray_destroy(none);
}

TEST(Parray, RefusedArgumentsGiveTheirCodes)
{
    int x;
    parray *a = parray_create(0);
    EXPECT_EQ(parray_add(nullptr, &x), -1);
    EXPECT_EQ(parray_add(a, nullptr), -1);
    EXPECT_EQ(parray_count(a), 0) << "null is never stored";
    EXPECT_EQ(parray_del(nullptr, &x), -1);
    EXPECT_EQ(parray_del(a, nullptr), -1);
    EXPECT_EQ(parray_count(nullptr), -1);
    EXPECT_EQ(parray_destroy(nullptr), -1);
    EXPECT_EQ(parray_destroy_free(nullptr), -1);
    EXPECT_EQ(parray_at(nullptr, 0), nullptr);
    ASSERT_EQ(parray_add(a, &x), 0);
    EXPECT_EQ(parray_at(a, -1), nullptr);
    EXPECT_EQ(parray_at(a, 1), nullptr) << "index == count is out of range";
    EXPECT_EQ(parray_at(a, 0), &x);
    parray_destroy(a);
}

TEST(Parray, DeleteRemovesOnlyTheFirstIdenticalPointer)
{
    parray *a = parray_create(0);
    int p, q, r;
    parray_add(a, &p);
    parray_add(a, &q);
    parray_add(a, &r);
    parray_add(a, &q);
    EXPECT_EQ(parray_del(a, &q), 0);
    ASSERT_EQ(parray_count(a), 3);
    EXPECT_EQ(parray_at(a, 0), &p);
    EXPECT_EQ(parray_at(a, 1), &r);
    EXPECT_EQ(parray_at(a, 2), &q) << "the higher duplicate stays";

    int stranger;
    EXPECT_EQ(parray_del(a, &stranger), 0);
    EXPECT_EQ(parray_count(a), 3);

    EXPECT_EQ(parray_del(a, &q), 0);  // last slot
    EXPECT_EQ(parray_count(a), 2);
    EXPECT_EQ(a->capacity, 64) << "removal never shrinks";

    // identity, not string equality
    char s1[] = "same", s2[] = "same";
    parray_add(a, s1);
    EXPECT_EQ(parray_del(a, s2), 0);
    EXPECT_EQ(parray_count(a), 3);
    parray_destroy(a);
}

TEST(Parray, SortPutsStringsInByteOrderAndNullsLast)
{
    parray *a = parray_createx(4, 4, 0);
    char b[] = "b", A[] = "a", Z[] = "Z";
    a->items[0] = b;
    a->items[1] = nullptr;  // callers may have planted nulls directly
    a->items[2] = A;
    a->count = 3;
    EXPECT_EQ(parray_sort(a), 0);
    EXPECT_STREQ(static_cast<char *>(parray_at(a, 0)), "a");
    EXPECT_STREQ(static_cast<char *>(parray_at(a, 1)), "b");
    EXPECT_EQ(parray_at(a, 2), nullptr);

    a->count = 0;
    parray_add(a, A);
    parray_add(a, Z);
    parray_sort(a);
    EXPECT_STREQ(static_cast<char *>(parray_at(a, 0)), "Z") << "byte order, upper case first";
    parray_destroy(a);

    const char *n = nullptr, *s = "x";
    EXPECT_EQ(str_compare(&n, &n), 1);
    EXPECT_EQ(str_compare(&s, &n), -1);
    EXPECT_EQ(str_compare(&n, &s), 1);
}

TEST(Parray, DestroyFreeReleasesEveryItem)
{
    // Leak-checked under ASan: every strdup'ed item must be freed.
    parray *a = parray_createx(1, 1, 0);
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(parray_add(a, dup("item")), 0);
    EXPECT_EQ(parray_destroy_free(a), 0);
}

}  // namespace
