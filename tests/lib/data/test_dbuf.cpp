#include <bwvutil/dbuf.h>

#include "support/bwvtest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

// Random operations on the buffer and on a string plus read offset, the whole state compared
// after each step; BWV_SEED replays a failing run.
TEST(Dbuf, BehavesLikeAStringWithAReadPosition) {
    const char *env = std::getenv("BWV_SEED");
    const unsigned seed = env ? std::strtoul(env, nullptr, 0) : 20261206u;
    std::mt19937 rng(seed);
    auto pick = [&](size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng); };
    for (int n : {-1, 0, 1, 5, 16, 300, -1, 0, 7, 64}) {  // -1: dbuf_create
        dbuf *b = n < 0 ? dbuf_create() : dbuf_createx(n);
        ASSERT_NE(b, nullptr) << "created with " << n;
        std::string unread;                                               // the model: unread bytes,
        uint32_t rpos = 0, size = static_cast<uint32_t>(std::max(n, 0));  // consumed, storage
        bool storage = n >= 0;
        for (uint32_t i = 0; i < size; ++i) ASSERT_EQ(b->data[i], 0) << "storage is zero-filled";
        for (int step = 0; step < 500; ++step) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " size " << n << " step " << step);
            const size_t op = pick(0, 8);
            if (op < 4) {
                // Some writes append the buffer's own unread bytes, which compaction and growth
                // move under the source.
                const bool own = op == 3 && !unread.empty();
                const size_t from = own ? pick(0, unread.size() - 1) : 0;
                const uint32_t len = own ? pick(1, unread.size() - from) : pick(0, 3) ? pick(1, 40) : pick(200, 700);
                std::string piece = own ? unread.substr(from, len) : std::string(len, '\0');
                for (size_t i = 0; !own && i < len; ++i) piece[i] = static_cast<char>(pick(0, 255));
                const char *src = own ? static_cast<char *>(dbuf_data(b)) + from : piece.data();
                ASSERT_EQ(dbuf_write(b, src, len), 0) << "length " << len << (own ? " own" : "");
                if (!storage)
                    size = len;
                else if (size - unread.size() < len)
                    size += std::max<uint32_t>(len, 256);
                storage = true;
                rpos = 0;
                unread += piece;
            } else if (op < 7) {
                // Often leaves exactly one byte, or asks for more than there is.
                const size_t want = op == 4 ? std::max<size_t>(unread.size(), 1) - 1 : pick(0, unread.size() + 3);
                const size_t k = std::min(want, unread.size());
                std::string got(want, '\0');
                ASSERT_EQ(dbuf_read(b, op == 5 ? nullptr : got.data(), want), k);
                ASSERT_TRUE(op == 5 || got.compare(0, k, unread, 0, k) == 0);
                unread.erase(0, k);
                rpos += k;
            } else if (op == 7) {
                ASSERT_EQ(dbuf_reset(b), 0);
                unread.clear();
                rpos = 0;
            } else {
                ASSERT_EQ(dbuf_write(b, nullptr, 1), 2);
                ASSERT_EQ(dbuf_write(b, "x", 0), 2);
            }
            const uint32_t len = unread.size();
            ASSERT_EQ(dbuf_len(b), len);
            ASSERT_TRUE(b->size == size && b->rpos == rpos && b->wpos == rpos + len && b->room == size - b->wpos)
                << "size " << b->size << " rpos " << b->rpos << " wpos " << b->wpos;
            auto *data = static_cast<char *>(dbuf_data(b));
            ASSERT_EQ(data ? std::string(data, len) : "<null>", storage ? unread : "<null>");
            std::unique_ptr<char, decltype(&free)> copy(static_cast<char *>(dbuf_copy_data(b)), free);
            ASSERT_TRUE(copy && std::string(copy.get(), len) == unread) << "copy of " << len << " bytes";
        }
        EXPECT_EQ(dbuf_destroy(b), 0);
    }
}

TEST(Dbuf, RefusedArgumentsAndErrorTexts) {
    dbuf *b = dbuf_create();
    const bwv::test::CallRow<> rows[] = {
        {"write to null", [&] { return dbuf_write(nullptr, "x", 1); }, 2},
        {"refused writes allocate nothing", [&] { return dbuf_write(b, "x", 0) + (b->data != nullptr); }, 2},
        {"reset null", [&] { return dbuf_reset(nullptr); }, 2},
        {"destroy null", [&] { return dbuf_destroy(nullptr); }, 0},
        {"len of null", [&] { return dbuf_len(nullptr); }, 0},
        {"data of null", [&] { return dbuf_data(nullptr) != nullptr; }, 0},
        {"copy of null", [&] { return dbuf_copy_data(nullptr) != nullptr; }, 0},
        {"create negative", [&] { return dbuf_createx(-1) != nullptr; }, 0},
    };
    for (const auto &row : rows) EXPECT_EQ(row.call(), row.want) << row.what;
    for (auto [code, text] : {std::pair{1, "Memory error"}, {2, "Param error"}, {7, "Unknown error"}})
        EXPECT_STREQ(dbuf_strerror(code == 1 ? nullptr : b, code), text) << code;
    dbuf_destroy(b);
}

}  // namespace
