#include <bwvutil/dbuf.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string unread(dbuf *b)
{
    return std::string(static_cast<char *>(dbuf_data(b)), dbuf_len(b));
}

TEST(Dbuf, FirstWriteAllocatesExactlyThenGrowsByAtLeast256)
{
    dbuf *b = dbuf_create();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->data, nullptr);
    EXPECT_EQ(dbuf_write(b, "0123456789", 10), 0);
    EXPECT_EQ(b->size, 10u);
    EXPECT_EQ(b->room, 0u);
    EXPECT_EQ(dbuf_write(b, "x", 1), 0);
    EXPECT_EQ(b->size, 266u);
    EXPECT_EQ(b->wpos, 11u);
    EXPECT_EQ(b->room, 255u);

    std::vector<char> big(1000, 'q');
    std::vector<char> filler(b->room, 'f');
    ASSERT_EQ(dbuf_write(b, filler.data(), static_cast<uint32_t>(filler.size())), 0);
    ASSERT_EQ(b->room, 0u);
    EXPECT_EQ(dbuf_write(b, big.data(), 1000), 0);
    EXPECT_EQ(b->size, 1266u) << "a write above 256 bytes grows by exactly its length";
    EXPECT_EQ(dbuf_len(b), 1266u);
    EXPECT_EQ(unread(b).substr(0, 11), "0123456789x");
    dbuf_destroy(b);
}

TEST(Dbuf, WriteCompactsUnreadBytesToTheFront)
{
    dbuf *b = dbuf_createx(16);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(dbuf_write(b, "0123456789", 10), 0);
    char got[4];
    ASSERT_EQ(dbuf_read(b, got, 4), 4u);
    EXPECT_EQ(std::string(got, 4), "0123");
    EXPECT_EQ(b->rpos, 4u);
    ASSERT_EQ(dbuf_write(b, "ab", 2), 0);
    EXPECT_EQ(b->rpos, 0u);
    EXPECT_EQ(b->wpos, 8u) << "6 unread bytes moved to the front, then 2 appended";
    EXPECT_EQ(b->size, 16u) << "compaction made room; no growth";
    EXPECT_EQ(b->room, 8u);
    EXPECT_EQ(unread(b), "456789ab");

    // Compaction happens before deciding to grow: 8 + 10 needs growth only after it.
    ASSERT_EQ(dbuf_read(b, nullptr, 6), 6u);
    ASSERT_EQ(dbuf_write(b, "ABCDEFGHIJKLMN", 14), 0);
    EXPECT_EQ(b->size, 16u);
    EXPECT_EQ(unread(b), "abABCDEFGHIJKLMN");
    dbuf_destroy(b);
}

TEST(Dbuf, ReadConsumesAtMostTheUnreadBytes)
{
    dbuf *b = dbuf_create();
    EXPECT_EQ(dbuf_read(b, nullptr, 5), 0u) << "empty buffer";
    dbuf_write(b, "hello", 5);
    EXPECT_EQ(dbuf_read(b, nullptr, 2), 2u) << "null destination skips";
    char out[16] = {};
    EXPECT_EQ(dbuf_read(b, out, 100), 3u);
    EXPECT_STREQ(out, "llo");
    EXPECT_EQ(dbuf_read(b, out, 100), 0u);
    EXPECT_EQ(dbuf_len(b), 0u);
    dbuf_destroy(b);
}

TEST(Dbuf, StreamPreservesByteOrderAcrossManyPieces)
{
    dbuf *b = dbuf_create();
    std::string written, read;
    unsigned seed = 12345;
    for (int round = 0; round < 2000; ++round) {
        seed = seed * 1103515245u + 12345u;
        uint32_t wlen = 1 + (seed >> 16) % 700;
        std::string piece(wlen, '\0');
        for (uint32_t i = 0; i < wlen; ++i)
            piece[i] = static_cast<char>('a' + (written.size() + i) % 26);
        ASSERT_EQ(dbuf_write(b, piece.data(), wlen), 0);
        written += piece;
        seed = seed * 1103515245u + 12345u;
        uint32_t rlen = (seed >> 16) % 720;
        std::string chunk(rlen, '\0');
        uint32_t got = dbuf_read(b, chunk.data(), rlen);
        read.append(chunk.data(), got);
        ASSERT_LE(b->rpos, b->wpos);
        ASSERT_LE(b->wpos, b->size);
        ASSERT_EQ(b->room, b->size - b->wpos);
    }
    read += unread(b);
    EXPECT_EQ(read, written) << "seed 12345";
    dbuf_destroy(b);
}

TEST(Dbuf, ResetKeepsStorageAndCopyIsIndependent)
{
    dbuf *b = dbuf_createx(8);
    dbuf_write(b, "abcdef", 6);
    dbuf_read(b, nullptr, 2);
    auto *copy = static_cast<char *>(dbuf_copy_data(b));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::string(copy, 4), "cdef");
    unsigned char *storage = b->data;
    EXPECT_EQ(dbuf_reset(b), 0);
    EXPECT_EQ(b->data, storage);
    EXPECT_EQ(b->size, 8u);
    EXPECT_EQ(b->room, 8u);
    EXPECT_EQ(b->wpos + b->rpos, 0u);
    EXPECT_EQ(std::string(copy, 4), "cdef");
    free(copy);
    dbuf_destroy(b);
}

TEST(Dbuf, BytesTakenFromTheBufferItselfAreAppendedIntact)
{
    dbuf *b = dbuf_create();
    dbuf_write(b, "abcdef", 6);
    dbuf_read(b, nullptr, 2);
    // The write first compacts "cdef" to the front, then must grow: the source would
    // otherwise be overwritten and then freed under it.
    ASSERT_EQ(dbuf_write(b, dbuf_data(b), 4), 0);
    EXPECT_EQ(unread(b), "cdefcdef");
    EXPECT_EQ(b->size, 6u + 256u) << "growth rule unchanged";

    dbuf_read(b, nullptr, 3);
    ASSERT_EQ(dbuf_write(b, b->data, 2), 0) << "consumed bytes at the front are still readable";
    EXPECT_EQ(unread(b), "fcdefcd");
    dbuf_destroy(b);
}

TEST(Dbuf, RefusedArgumentsAndErrorTexts)
{
    dbuf *b = dbuf_create();
    EXPECT_EQ(dbuf_write(b, "x", 0), 2);
    EXPECT_EQ(dbuf_write(b, nullptr, 1), 2);
    EXPECT_EQ(dbuf_write(nullptr, "x", 1), 2);
    EXPECT_EQ(b->data, nullptr) << "refused write allocates nothing";
    EXPECT_EQ(dbuf_reset(nullptr), 2);
    EXPECT_EQ(dbuf_destroy(nullptr), 0);
    EXPECT_EQ(dbuf_len(nullptr), 0u);
    EXPECT_EQ(dbuf_data(nullptr), nullptr);
    EXPECT_EQ(dbuf_copy_data(nullptr), nullptr);
    EXPECT_EQ(dbuf_createx(-1), nullptr);
    EXPECT_STREQ(dbuf_strerror(nullptr, 1), "Memory error");
    EXPECT_STREQ(dbuf_strerror(b, 2), "Param error");
    EXPECT_STREQ(dbuf_strerror(b, 7), "Unknown error");
    EXPECT_STREQ(dbuf_strerror(b, 0), "Unknown error");
    dbuf_destroy(b);

    dbuf *sized = dbuf_createx(5);
    ASSERT_NE(sized, nullptr);
    EXPECT_EQ(sized->size, 5u);
    EXPECT_EQ(sized->room, 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(sized->data[i], 0) << "storage is zero-filled";
    dbuf_destroy(sized);
}

}  // namespace
