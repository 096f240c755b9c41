#include <bwvutil/parray.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

// BWV_SEED replays a failing run; the seed is printed with every failure.
unsigned test_seed()
{
    const char *env = std::getenv("BWV_SEED");
    return env ? static_cast<unsigned>(std::strtoul(env, nullptr, 0)) : 20261206u;
}

// Every public operation, applied to the array and to a vector, with the whole observable
// state compared after each step. Removals leave stale pointers beyond count, so an
// answer for an index past the end shows.
TEST(Parray, BehavesLikeAVectorOfPointers)
{
    const unsigned seed = test_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    static char pool[12][4];  // distinct strings, so the unstable sort has one answer
    for (int i = 0; i < 12; ++i)
        snprintf(pool[i], sizeof pool[i], "%c%d", "bAaZ"[i % 4], i);
    const struct { int init, step, cap0, step0; } shapes[] = {
        {-1, -1, 64, 16}, {0, 16, 0, 16}, {2, 0, 2, 0}, {0, 0, 0, 0}, {3, 1, 3, 1}, {1, 5, 1, 5}};

    for (int round = 0; round < 12; ++round) {
        const auto &shape = shapes[round % 6];
        parray *a = round % 6 == 0 ? parray_create(77u + round)
                                   : parray_createx(shape.init, shape.step, 77u + round);
        ASSERT_NE(a, nullptr);
        ASSERT_EQ(a->tag, 77u + round);
        ASSERT_EQ(a->init_size, shape.cap0);
        ASSERT_EQ(a->grow_step, shape.step0);
        ASSERT_EQ(a->items == nullptr, shape.cap0 == 0);
        std::vector<void *> model;
        int capacity = shape.cap0;
        for (int step = 0; step < 400; ++step) {
            std::string op;
            switch (pick(0, 9)) {
            case 0: case 1: case 2: case 3: {
                void *item = pool[pick(0, 11)];
                int want = 0;
                if (static_cast<int>(model.size()) == capacity) {
                    if (shape.step0 == 0)
                        want = -2;
                    else
                        capacity += shape.step0;
                }
                if (want == 0)
                    model.push_back(item);
                op = "add";
                ASSERT_EQ(parray_add(a, item), want) << op;
                break;
            }
            case 4: case 5: case 6: {
                // Mostly an item present, weighted towards the last two slots.
                void *item = pool[pick(0, 11)];
                if (!model.empty() && pick(0, 3) > 0)
                    item = model[model.size() - 1 - pick(0, std::min<int>(2, model.size() - 1))];
                auto it = std::find(model.begin(), model.end(), item);
                if (it != model.end())
                    model.erase(it);
                op = "del";
                ASSERT_EQ(parray_del(a, item), 0) << op;
                break;
            }
            case 7:
                op = "sort";
                ASSERT_EQ(parray_sort(a), 0);
                std::sort(model.begin(), model.end(), [](void *x, void *y) {
                    return strcmp(static_cast<char *>(x), static_cast<char *>(y)) < 0;
                });
                break;
            case 8:
                op = "del all";
                while (!model.empty()) {
                    ASSERT_EQ(parray_del(a, model.front()), 0);
                    model.erase(model.begin());
                }
                break;
            default:
                op = "probe";
                break;
            }
            const int n = static_cast<int>(model.size());
            ASSERT_EQ(parray_count(a), n) << "after " << op << " at step " << step;
            ASSERT_EQ(a->capacity, capacity) << op;
            for (int i = 0; i < n; ++i)
                ASSERT_EQ(parray_at(a, i), model[i]) << op << ", slot " << i;
            for (int i : {-1, INT32_MIN, n, n + 1, capacity, INT32_MAX})
                ASSERT_EQ(parray_at(a, i), nullptr) << op << ", index " << i << " of " << n;
        }
        ASSERT_EQ(parray_destroy(a), 0);
    }
}

TEST(Parray, RefusedArgumentsAndComparatorAnswers)
{
    int x;
    parray *a = parray_create(0);
    ASSERT_NE(a, nullptr);
    const char *null_str = nullptr, *str = "x";
    char same1[] = "same", same2[] = "same";
    const struct { const char *what; std::function<long()> call; long want; } rows[] = {
        {"add to null", [&] { return parray_add(nullptr, &x); }, -1},
        {"add null", [&] { return parray_add(a, nullptr); }, -1},
        {"del from null", [&] { return parray_del(nullptr, &x); }, -1},
        {"del null", [&] { return parray_del(a, nullptr); }, -1},
        {"del from empty", [&] { return parray_del(a, &x); }, 0},
        {"count of null", [&] { return parray_count(nullptr); }, -1},
        {"at of null", [&] { return parray_at(nullptr, 0) != nullptr; }, 0},
        {"destroy null", [&] { return parray_destroy(nullptr); }, -1},
        {"destroy_free null", [&] { return parray_destroy_free(nullptr); }, -1},
        {"null vs null", [&] { return str_compare(&null_str, &null_str); }, 1},
        {"string vs null", [&] { return str_compare(&str, &null_str); }, -1},
        {"null vs string", [&] { return str_compare(&null_str, &str); }, 1},
        {"count after refusals", [&] { return parray_count(a); }, 0},
        {"del by identity, not text",
         [&] { return parray_add(a, same1) + parray_del(a, same2) + parray_count(a); }, 1},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.call(), row.want) << row.what;
    parray_destroy(a);

    // Leak-checked under ASan: every item is freed, also after the array has grown.
    parray *owned = parray_createx(1, 1, 0);
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(parray_add(owned, strdup("item")), 0);
    EXPECT_EQ(parray_destroy_free(owned), 0);
}

}  // namespace
