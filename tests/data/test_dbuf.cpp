#include <bwvutil/dbuf.h>

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

// Every public operation, applied to the buffer and to a string plus read offset, with the
// whole observable state compared after each step. Some writes append the buffer's own
// unread bytes, which compaction and growth move under the source.
TEST(Dbuf, BehavesLikeAStringWithAReadPosition)
{
    const unsigned seed = test_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t lo, uint32_t hi) {
        return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
    };
    for (int round = 0; round < 10; ++round) {
        const int n = round == 0 ? -2 : std::vector<int>{0, 1, 5, 16, 300}[round % 5];
        dbuf *b = n < -1 ? dbuf_create() : dbuf_createx(n);
        ASSERT_NE(b, nullptr) << "created with " << n;
        std::string unread;                  // the model: bytes not yet read,
        uint32_t rpos = 0;                   // how many were read since the last compaction,
        uint32_t size = n < 0 ? 0 : n;       // and the storage size
        bool storage = n >= 0;
        ASSERT_EQ(b->data != nullptr, storage);
        for (uint32_t i = 0; storage && i < size; ++i)
            ASSERT_EQ(b->data[i], 0) << "storage is zero-filled";
        for (int step = 0; step < 500; ++step) {
            std::string op;
            switch (pick(0, 9)) {
            case 0: case 1: case 2: {
                const uint32_t len = pick(0, 3) ? pick(1, 40) : pick(200, 700);
                std::string piece(len, '\0');
                for (auto &c : piece)
                    c = static_cast<char>(pick(0, 255));
                op = "write " + std::to_string(len);
                ASSERT_EQ(dbuf_write(b, piece.data(), len), 0) << op;
                if (!storage) {
                    storage = true;
                    size = len;
                } else if (size - unread.size() < len) {
                    size += std::max<uint32_t>(len, 256);
                }
                rpos = 0;
                unread += piece;
                break;
            }
            case 3: {
                if (unread.empty())
                    continue;
                const uint32_t from = pick(0, unread.size() - 1);
                const uint32_t len = pick(1, unread.size() - from);
                op = "write own " + std::to_string(from) + "+" + std::to_string(len);
                const auto *src = static_cast<const char *>(dbuf_data(b)) + from;
                ASSERT_EQ(dbuf_write(b, src, len), 0) << op;
                if (size - unread.size() < len)
                    size += std::max<uint32_t>(len, 256);
                rpos = 0;
                unread += unread.substr(from, len);
                break;
            }
            case 4: case 5: case 6: {
                // Often leaves exactly one byte, or reads past the end.
                uint32_t want = pick(0, 2) == 0 ? std::max<uint32_t>(unread.size(), 1) - 1
                                                : pick(0, unread.size() + 3);
                std::string got(want, '\0');
                const bool discard = pick(0, 3) == 0;
                const uint32_t k = std::min<uint32_t>(want, unread.size());
                op = (discard ? "skip " : "read ") + std::to_string(want);
                ASSERT_EQ(dbuf_read(b, discard ? nullptr : got.data(), want), k) << op;
                if (!discard) {
                    ASSERT_EQ(got.substr(0, k), unread.substr(0, k)) << op;
                }
                unread.erase(0, k);
                rpos += k;
                break;
            }
            case 7:
                op = "reset";
                if (pick(0, 2))
                    continue;
                ASSERT_EQ(dbuf_reset(b), 0);
                unread.clear();
                rpos = 0;
                break;
            case 8:
                op = "refused write";
                ASSERT_EQ(dbuf_write(b, nullptr, 1), 2);
                ASSERT_EQ(dbuf_write(b, "x", 0), 2);
                break;
            default: {
                op = "copy";
                auto *copy = static_cast<char *>(dbuf_copy_data(b));
                ASSERT_NE(copy, nullptr);
                const bool same = std::string(copy, unread.size()) == unread;
                free(copy);
                ASSERT_TRUE(same) << op << " of " << unread.size() << " bytes";
                break;
            }
            }
            const uint32_t len = unread.size();
            ASSERT_EQ(dbuf_len(b), len) << "after " << op << " at step " << step;
            ASSERT_EQ(b->data != nullptr, storage) << op;
            ASSERT_EQ(b->size, size) << op;
            ASSERT_EQ(b->rpos, rpos) << op;
            ASSERT_EQ(b->wpos, rpos + len) << op;
            ASSERT_EQ(b->room, size - b->wpos) << op;
            if (storage) {
                ASSERT_EQ(std::string(static_cast<char *>(dbuf_data(b)), len), unread) << op;
            }
        }
        EXPECT_EQ(dbuf_destroy(b), 0);
    }
}

TEST(Dbuf, RefusedArgumentsAndErrorTexts)
{
    dbuf *b = dbuf_create();
    ASSERT_NE(b, nullptr);
    const struct { const char *what; std::function<long()> call; long want; } rows[] = {
        {"write nothing", [&] { return dbuf_write(b, "x", 0); }, 2},
        {"write from null", [&] { return dbuf_write(b, nullptr, 1); }, 2},
        {"write to null", [&] { return dbuf_write(nullptr, "x", 1); }, 2},
        {"refused writes allocate nothing", [&] { return b->data != nullptr; }, 0},
        {"reset null", [&] { return dbuf_reset(nullptr); }, 2},
        {"destroy null", [&] { return dbuf_destroy(nullptr); }, 0},
        {"len of null", [&] { return dbuf_len(nullptr); }, 0},
        {"data of null", [&] { return dbuf_data(nullptr) != nullptr; }, 0},
        {"copy of null", [&] { return dbuf_copy_data(nullptr) != nullptr; }, 0},
        {"create negative", [&] { return dbuf_createx(-1) != nullptr; }, 0},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.call(), row.want) << row.what;
    EXPECT_STREQ(dbuf_strerror(nullptr, 1), "Memory error");
    EXPECT_STREQ(dbuf_strerror(b, 2), "Param error");
    EXPECT_STREQ(dbuf_strerror(b, 7), "Unknown error");
    EXPECT_STREQ(dbuf_strerror(b, 0), "Unknown error");
    dbuf_destroy(b);
}

}  // namespace
