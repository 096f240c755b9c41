#include <bwvutil/parray.h>

#include "support/bwvtest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace {

// Random operations on the array and on a vector, the whole state compared after each step;
// BWV_SEED replays a failing run. Removals leave stale pointers beyond count, so an answer
// for an index past the end shows.
TEST(Parray, BehavesLikeAVectorOfPointers) {
    const char *env = std::getenv("BWV_SEED");
    const unsigned seed = env ? std::strtoul(env, nullptr, 0) : 20261206u;
    std::mt19937 rng(seed);
    auto pick = [&](int hi) { return std::uniform_int_distribution<int>(0, hi)(rng); };
    static char pool[12][4];  // distinct texts, so the unstable sort has one answer
    for (int i = 0; i < 12; ++i) snprintf(pool[i], sizeof pool[i], "%c%d", "bAaZ"[i % 4], i);
    const struct {
        int init, step, cap0, step0;
    } shapes[] = {{-1, -1, 64, 16}, {0, 16, 0, 16}, {2, 0, 2, 0}, {0, 0, 0, 0}, {3, 1, 3, 1}, {1, 5, 1, 5}};
    for (int round = 0; round < 12; ++round) {
        const auto &s = shapes[round % 6];
        parray *a = round == 0 ? parray_create(7) : parray_createx(s.init, s.step, 7);
        ASSERT_NE(a, nullptr);
        ASSERT_TRUE(a->tag == 7 && a->init_size == s.cap0 && a->grow_step == s.step0 &&
                    (a->items != nullptr) == (s.cap0 > 0) && a->count == 0)
            << "round " << round;
        std::vector<void *> model;
        int capacity = s.cap0;
        for (int step = 0; step < 400; ++step) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round << " step " << step);
            const int op = pick(7);
            void *item = pool[pick(11)];
            if (op < 4) {
                const bool fits = static_cast<int>(model.size()) < capacity || s.step0 > 0;
                ASSERT_EQ(parray_add(a, item), fits ? 0 : -2);
                capacity += fits && static_cast<int>(model.size()) == capacity ? s.step0 : 0;
                if (fits) model.push_back(item);
            } else if (op < 7) {
                // Mostly an item present, weighted towards the last two slots.
                if (!model.empty() && pick(3) > 0)
                    item = model[model.size() - 1 - pick(std::min<int>(2, model.size() - 1))];
                ASSERT_EQ(parray_del(a, item), 0);
                if (auto it = std::find(model.begin(), model.end(), item); it != model.end()) model.erase(it);
            } else {
                ASSERT_EQ(parray_sort(a), 0);
                std::sort(model.begin(), model.end(),
                          [](void *x, void *y) { return strcmp(static_cast<char *>(x), static_cast<char *>(y)) < 0; });
            }
            const int n = static_cast<int>(model.size());
            ASSERT_EQ(parray_count(a), n);
            ASSERT_EQ(a->capacity, capacity);
            for (int i = 0; i < n; ++i) ASSERT_EQ(parray_at(a, i), model[i]) << "slot " << i;
            for (int i : {-1, INT32_MIN, n, n + 1, capacity, INT32_MAX})
                ASSERT_EQ(parray_at(a, i), nullptr) << "index " << i;
        }
        ASSERT_EQ(parray_destroy(a), 0);
    }
}

TEST(Parray, RefusedArgumentsAndComparatorAnswers) {
    int x;
    char same1[] = "same", same2[] = "same";
    const char *none = nullptr, *text = "x";
    parray *a = parray_create(0), *owned = parray_createx(1, 1, 0);
    for (int i = 0; i < 5; ++i) parray_add(owned, strdup("item"));
    const bwv::test::CallRow<> rows[] = {
        {"add to null", [&] { return parray_add(nullptr, &x); }, -1},
        {"add null", [&] { return parray_add(a, nullptr); }, -1},
        {"del from null", [&] { return parray_del(nullptr, &x); }, -1},
        {"del null", [&] { return parray_del(a, nullptr); }, -1},
        {"count of null", [&] { return parray_count(nullptr); }, -1},
        {"sort null", [&] { return parray_sort(nullptr); }, 0},
        {"at of null", [&] { return parray_at(nullptr, 0) != nullptr; }, 0},
        {"destroy null", [&] { return parray_destroy(nullptr); }, -1},
        {"destroy_free null", [&] { return parray_destroy_free(nullptr); }, -1},
        {"null vs null", [&] { return str_compare(&none, &none); }, 1},
        {"text vs null", [&] { return str_compare(&text, &none); }, -1},
        {"null vs text", [&] { return str_compare(&none, &text); }, 1},
        {"del by identity, not text", [&] { return parray_add(a, same1) + parray_del(a, same2) + parray_count(a); }, 1},
        {"destroy_free frees every item (leak-checked)", [&] { return parray_destroy_free(owned); }, 0},
    };
    for (const auto &row : rows) EXPECT_EQ(row.call(), row.want) << row.what;
    parray_destroy(a);
}

}  // namespace
