#include <gtest/gtest.h>

#include <bwvutil/gmsg.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 300;

// Many threads create, fill, read, serialise and release messages at once. Each thread
// checks that it reads back exactly what it stored; ids are collected to prove that no
// two live or past messages ever shared one.
TEST(GmsgThreads, ConcurrentMessagesKeepTheirOwnContentsAndUniqueIds) {
    std::mutex ids_lock;
    std::vector<uint64_t> ids;
    std::atomic<int> failures{0};

    auto worker = [&](int t) {
        std::vector<uint64_t> mine;
        for (int r = 0; r < kRounds; ++r) {
            gmsg *m = gmsg_create(t, r);
            gmsg *peer = gmsg_create(r, t);
            if (!m || !peer) {
                ++failures;
                return;
            }
            mine.push_back(m->id);
            mine.push_back(peer->id);
            std::string tag = std::to_string(t) + ":" + std::to_string(r);
            gmsg_add_str(m, "tag", tag.c_str());
            gmsg_add_int(m, "round", r);
            gmsg_add_bin(m, "bytes", tag.data(), static_cast<int>(tag.size()));
            gmsg_add_str(peer, "owner", tag.c_str());
            gmsg_add_msg(m, "peer", peer);
            gmsg_release(peer);

            // The ring hands each caller its own range; read it before anything else.
            const char *s = gmsg_get_str(m, "tag");
            if (!s || tag != s) ++failures;
            if (gmsg_get_int(m, "round") != r) ++failures;
            char buf[32];
            if (gmsg_get_str_r(m, "tag", buf, sizeof buf) != static_cast<int>(tag.size() + 1) ||
                tag != buf)
                ++failures;
            uint32_t len = 0;
            const void *b = gmsg_get_bin(m, "bytes", &len);
            if (!b || len != tag.size() || std::memcmp(b, tag.data(), len) != 0) ++failures;

            uint32_t blen = 0;
            void *wire = gmsg_gen_buffer(m, &blen);
            gmsg *back = wire ? gmsg_parse_buffer(wire, static_cast<int>(blen)) : nullptr;
            std::free(wire);
            if (!back || back->c_type != t || back->m_type != r) {
                ++failures;
            } else {
                mine.push_back(back->id);
                gmsg *p = gmsg_get_msg(back, "peer");
                if (!p || p->c_type != r ||
                    gmsg_get_str_r(p, "owner", buf, sizeof buf) == 0 || tag != buf)
                    ++failures;
                if (p) mine.push_back(p->id);
                gmsg_release(p);
            }
            gmsg_release(back);
            gmsg *dup = gmsg_duplicate(m);
            if (!dup || gmsg_get_str_r(dup, "tag", buf, sizeof buf) == 0 || tag != buf)
                ++failures;
            if (dup) mine.push_back(dup->id);
            gmsg_release(dup);
            gmsg_release(m);
        }
        std::lock_guard lock(ids_lock);
        ids.insert(ids.end(), mine.begin(), mine.end());
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (auto &th : threads) th.join();

    EXPECT_EQ(failures.load(), 0);
    std::set<uint64_t> unique(ids.begin(), ids.end());
    EXPECT_EQ(unique.size(), ids.size());
    EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads * kRounds * 5));
    // Every id handed out before this one is below it: the counter never went back.
    gmsg *last = gmsg_create(0, 0);
    EXPECT_GT(last->id, *std::max_element(ids.begin(), ids.end()));
    gmsg_release(last);
}

}  // namespace
