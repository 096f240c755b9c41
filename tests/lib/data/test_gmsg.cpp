#include <bwvutil/gmsg.h>

#include "lib/core/plobj.hpp"
#include "support/bwvtest.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <thread>

namespace {

namespace pl = bwv::pl;

std::string str_r(gmsg *m, const char *key) {
    std::string s(static_cast<size_t>(std::max(gmsg_get_str_r(m, key, nullptr, 0), 1)), '\0');
    return gmsg_get_str_r(m, key, s.data(), static_cast<int>(s.size())) ? s.substr(0, s.size() - 1) : "<none>";
}

// A message as its types and description: what a copy of it must keep.
std::string whole(gmsg *m) {
    return m ? std::to_string(m->c_type) + "/" + std::to_string(m->m_type) + pl::description(gmsg_content(m)) : "-";
}

// What the getters answer for key: text|text copied out|number|bytes|nested message.
std::string seen(gmsg *m, const char *key) {
    const char *s = gmsg_get_str(m, key);
    uint32_t len = 0;
    const char *b = static_cast<const char *>(gmsg_get_bin(m, key, &len));
    gmsg *inner = gmsg_get_msg(m, key);
    const std::string out = (s ? s : "<none>") + ("|" + str_r(m, key)) + "|" + std::to_string(gmsg_get_int(m, key)) +
                            "|" + (b ? std::string(b, len) : "-") + "|" + whole(inner);
    return gmsg_release(inner), out;
}

// Generated and parsed again: what a peer receives.
gmsg *sent(gmsg *m) {
    uint32_t len = 0;
    std::unique_ptr<void, decltype(&free)> buf(gmsg_gen_buffer(m, &len), free);
    return buf ? gmsg_parse_buffer(buf.get(), static_cast<int>(len)) : nullptr;
}

// Random operations on a message and on a map of what its getters must answer for each
// key, all compared after every step. Nested messages are snapshots of a pool that keeps
// changing. Every few steps the message is replaced by what a peer receives, or its duplicate.
TEST(Gmsg, BehavesLikeAPlainMap) {
    std::mt19937_64 rng(20261206u);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    // Keys and texts that are not UTF-8 are refused and store nothing.
    const std::vector<std::string> keys{"a", "key", "\xc3\xa9t\xc3\xa9", "\xf0\x9f\x98\x80", "\xc3", "", "_c_type_"};
    const std::vector<std::pair<std::string, int64_t>> texts{{"", 0},
                                                             {"42 apples", 42},
                                                             {"  -17xyz", -17},
                                                             {"+8", 8},
                                                             {"x8", 0},
                                                             {"99999999999999999999", INT64_MAX},
                                                             {"-99999999999999999999", INT64_MIN},
                                                             {"Mises \xc3\xa0 jour \xf0\x9f\x98\x80", 0},
                                                             {"\xff\xfe", 0}};
    gmsg *pool[2] = {gmsg_create(7, 8), gmsg_create(9, -10)}, *m = gmsg_create(11, -22);
    ASSERT_TRUE(pool[0]->id == 0 && m->id == 2) << "the first test: ids count from the process's first message";
    std::map<std::string, std::string> model{{"_c_type_", "<none>|<none>|11|-|-"},
                                             {"_m_type_", "<none>|<none>|-22|-|-"}};
    for (int step = 0; step < 3000; ++step) {
        SCOPED_TRACE(step);
        const std::string &key = keys[pick(keys.size() - 1)];
        const auto &[text, as_int] = texts[pick(texts.size())];
        const int64_t n = pick(4) ? static_cast<int64_t>(rng()) : pick(2) ? INT64_MIN : INT64_MAX;
        std::string bytes(pick(40), '\0'), v;
        for (char &c : bytes) c = static_cast<char>(rng());
        gmsg *r = nullptr, *p = pool[pick(2)];
        bool ok = pl::valid_utf8(key);
        if (const size_t op = pick(6); op == 0) {
            ok = ok && pl::valid_utf8(text);
            r = gmsg_add_str(m, key.c_str(), text.c_str());
            v = text + "|" + text + "|" + std::to_string(as_int) + "|-|-";
        } else if (op == 1) {
            r = gmsg_add_int(m, key.c_str(), n);
            v = std::to_string(n) + "|" + std::to_string(n) + "|" + std::to_string(n) + "|-|-";
        } else if (op == 2) {
            ok = ok && !bytes.empty();
            r = gmsg_add_bin(m, key.c_str(), bytes.empty() ? "x" : bytes.data(), static_cast<int>(bytes.size()));
            v = "<none>|<none>|-1|" + bytes + "|-";
        } else if (op == 3) {
            v = "<none>|<none>|-1|-|" + whole(p);
            r = gmsg_add_msg(m, key.c_str(), p);
        } else if (op == 4) {
            gmsg_add_int(p, "n", n);  // copies stored before keep what they had
            ok = false;
        } else {
            ASSERT_EQ(gmsg_delete(m, key.c_str()), key.empty() ? -1 : 0) << "an empty key is refused";
            if (!key.empty()) model.erase(key);
            ok = false;
        }
        ASSERT_EQ(r, ok ? m : nullptr);
        if (ok) model[key] = v;
        if (step % 50 == 49) {
            gmsg *copy = step % 100 == 49 ? sent(m) : gmsg_duplicate(m);
            ASSERT_TRUE(copy && copy->id != m->id && copy->c_type == 11 && copy->m_type == -22);
            gmsg_release(m);
            m = copy;
        }
        ASSERT_EQ(pl::count(gmsg_content(m)), model.size());
        for (const std::string &k : keys)
            ASSERT_EQ(seen(m, k.c_str()), model.count(k) ? model[k] : "<none>|<none>|-1|-|-") << k;
    }
    for (gmsg *x : {m, pool[0], pool[1]}) gmsg_release(x);
}

TEST(Gmsg, RefusedArgumentsAndUndecodableInput) {
    gmsg *m = gmsg_create(5, 6);
    gmsg_add_str(m, "k", "value");
    pl::Ref plain(pl::make_dict()), data(pl::make_data("a", 1));
    pl::dict_set(plain.get(), "_m_type_", data.get());
    uint32_t len = 0;
    void *buf = gmsg_gen_buffer(m, &len);
    char small[5];
    int cap = 5;
    gmsg unregistered{5, 6, ~0ull};
    const bwv::test::CallRow<> rows[] = {
        {"add_bin without bytes", [&] { return gmsg_add_bin(m, "b", nullptr, 1) != nullptr; }, 0},
        {"add_str to null", [&] { return gmsg_add_str(nullptr, "s", "v") != nullptr; }, 0},
        {"add_str without key", [&] { return gmsg_add_str(m, nullptr, "v") != nullptr; }, 0},
        {"add_str without value", [&] { return gmsg_add_str(m, "s", nullptr) != nullptr; }, 0},
        {"add_msg of null", [&] { return gmsg_add_msg(m, "m", nullptr) != nullptr; }, 0},
        {"nothing was stored", [&] { return static_cast<long>(pl::count(gmsg_content(m))); }, 3},
        {"get_bin without length", [&] { return gmsg_get_bin(m, "k", nullptr) != nullptr; }, 0},
        {"get_msg without key", [&] { return gmsg_get_msg(m, nullptr) != nullptr; }, 0},
        {"get_str_r without key", [&] { return gmsg_get_str_r(m, nullptr, small, cap); }, 0},
        {"get_int without key", [&] { return gmsg_get_int(m, nullptr); }, -1},
        {"get_str without key", [&] { return gmsg_get_str(m, nullptr) != nullptr; }, 0},
        {"get_str_r of a message not registered", [&] { return gmsg_get_str_r(&unregistered, "k", small, cap); }, 0},
        {"delete without key", [&] { return gmsg_delete(m, nullptr); }, -1},
        {"delete from null", [&] { return gmsg_delete(nullptr, "k"); }, -1},
        {"content of null", [&] { return gmsg_content(nullptr) != nullptr; }, 0},
        {"duplicate of null", [&] { return gmsg_duplicate(nullptr) != nullptr; }, 0},
        {"from a null dictionary", [&] { return gmsg_create_use_dic(nullptr) != nullptr; }, 0},
        {"from data", [&] { return gmsg_create_use_dic(data.get()) != nullptr; }, 0},
        {"type of null", [&] { return gmsg_type_from_dic(nullptr); }, -1},
        {"type that is data", [&] { return gmsg_type_from_dic(plain.get()); }, -1},
        {"buffer without length", [&] { return gmsg_gen_buffer(m, nullptr) != nullptr; }, 0},
        {"buffer of null", [&] { return gmsg_gen_buffer(nullptr, &len) != nullptr; }, 0},
        {"parse null", [&] { return gmsg_parse_buffer(nullptr, 100) != nullptr; }, 0},
        {"description of null", [&] { return gmsg_get_desc(nullptr, small, &cap); }, 0},
        {"description without length", [&] { return gmsg_get_desc(m, small, nullptr); }, 0},
    };
    for (const auto &row : rows) EXPECT_EQ(row.call(), row.want) << row.what;
    // 12 bytes or fewer are refused (exact allocations, so a read past them shows under
    // the sanitizers); any other cut of a real buffer, or garbage, gives the empty message.
    for (uint32_t n = 0; n < len; ++n) {
        std::vector<char> cut(static_cast<char *>(buf), static_cast<char *>(buf) + n);
        if (n > 20) memset(cut.data() + 12, 0xA5, 8);
        gmsg *r = gmsg_parse_buffer(cut.data(), static_cast<int>(n));
        ASSERT_EQ(r != nullptr, n > 12) << n;
        EXPECT_TRUE(!r || (r->c_type == 0 && r->m_type == 0 && pl::count(gmsg_content(r)) == 2)) << n;
        gmsg_release(r);
    }
    free(buf);
    gmsg_release(m);
}

TEST(Gmsg, BufferLayoutAndTypesComeFromTheArchive) {
    gmsg *m = gmsg_create(0x01020304, -2);
    for (int i = 0; i < 3000; ++i)  // wider references inside the archive
        gmsg_add_int(m, ("key" + std::to_string(i)).c_str(), i);
    uint32_t len = 0;
    auto *p = static_cast<char *>(gmsg_gen_buffer(m, &len));
    int32_t head[3];
    memcpy(head, p, 12);
    EXPECT_TRUE(head[0] == static_cast<int32_t>(len) && head[1] == 0x01020304 && head[2] == -2);
    EXPECT_TRUE(std::string(p + 12, 8) == "bplist00" && p[len - 1] == 0);
    memset(p + 4, 0x7f, 8);
    gmsg *back = gmsg_parse_buffer(p, static_cast<int>(len));
    EXPECT_TRUE(back->c_type == 0x01020304 && back->m_type == -2 && pl::equal(gmsg_content(back), gmsg_content(m)));
    free(p);
    gmsg_release(back);
    gmsg_release(m);

    // From a dictionary: the types become numbers, read as int32 and saturating.
    const std::string xml =
        "<plist><dict><key>_c_type_</key><string>5000000000</string>"
        "<key>_m_type_</key><integer>34</integer></dict></plist>";
    pl::Ref d(pl::parse(xml.data(), xml.size(), true));
    m = gmsg_create_use_dic(d.get());
    EXPECT_TRUE(m->c_type == INT32_MAX && m->m_type == 34 && gmsg_get_str(m, "_c_type_") == nullptr);
    EXPECT_EQ(gmsg_type_from_dic(d.get()), 34);
    gmsg_release(m);
    // A type given as a real: NaN reads 0, what lies past either end of int32 saturates.
    for (auto [v, want] : {std::pair{NAN, 0}, {1e30, INT32_MAX}, {3e9, INT32_MAX}, {-3e9, INT32_MIN}, {-7.9, -7}}) {
        pl::dict_set(d.get(), "_m_type_", pl::Ref(pl::make_real(v)).get());
        EXPECT_EQ(gmsg_type_from_dic(d.get()), want) << v;
    }
}

// Texts handed out by gmsg_get_str live in one ring shared by every message; one that
// cannot fit is refused without touching what the ring holds.
TEST(Gmsg, TheStringRingAndTheDescriptionRefuseWhatCannotFit) {
    gmsg *m = gmsg_create(0, 0);
    gmsg_add_str(m, "fits", std::string(131071, 'f').c_str());
    gmsg_add_str(m, "long", std::string(131072, 't').c_str());
    const char *fits = gmsg_get_str(m, "fits");
    EXPECT_EQ(gmsg_get_str(m, "long"), nullptr);
    EXPECT_EQ(strlen(fits), 131071u);
    // One that would end exactly at the ring's end starts it again (from offset 1 here).
    gmsg_add_str(m, "empty", "");
    gmsg_add_str(m, "exact", std::string(131070, 'e').c_str());
    EXPECT_TRUE(gmsg_get_str(m, "empty") == fits && gmsg_get_str(m, "exact") == fits);
    char small[3];
    EXPECT_EQ(gmsg_get_str_r(m, "long", small, 3), 131073);
    EXPECT_STREQ(small, "tt");
    int len = 0;
    gmsg_get_desc(m, nullptr, &len);
    EXPECT_EQ(len, static_cast<int>(pl::description(gmsg_content(m)).size()));
    // A message may hold a snapshot of itself.
    EXPECT_EQ(gmsg_add_msg(m, "self", m), m);
    gmsg *self = gmsg_get_msg(m, "self");
    EXPECT_TRUE(self && str_r(self, "fits").size() == 131071u && gmsg_get_msg(self, "self") == nullptr);
    gmsg_release(self);
    // Each snapshot holds the ones before: past 16 MiB no description is made.
    for (int i = 0; i < 6; ++i) gmsg_add_msg(m, std::to_string(i).c_str(), m);
    gmsg_get_desc(m, nullptr, &len);
    EXPECT_EQ(len, 0);
    gmsg_release(m);
}

// Many threads create, fill, read, send and release messages at once: each reads back its
// own contents, and no two messages ever share an id, not even after one is released.
TEST(Gmsg, ThreadsKeepTheirOwnContentsAndUniqueIds) {
    std::vector<std::set<uint64_t>> ids(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&ids, t] {
            for (int r = 0; r < 300; ++r) {
                const std::string tag = std::to_string(t) + ":" + std::to_string(r);
                gmsg *m = gmsg_add_str(gmsg_create(t, r), "tag", tag.c_str()), *back = sent(m),
                     *dup = gmsg_duplicate(m);
                for (gmsg *x : {m, back, dup}) {
                    ids[t].insert(tag == gmsg_get_str(x, "tag") && str_r(x, "tag") == tag && x->m_type == r ? x->id
                                                                                                            : 0);
                    gmsg_release(x);
                }
            }
        });
    std::set<uint64_t> unique;
    for (int t = 0; t < 8; ++t) {
        threads[t].join();
        unique.insert(ids[t].begin(), ids[t].end());
    }
    EXPECT_EQ(unique.size(), 8u * 300 * 3) << "a wrong read counts as id 0";
}

}  // namespace
