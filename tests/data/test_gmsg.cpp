#include <gtest/gtest.h>

#include <bwvutil/gmsg.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "data/gmsg_internal.hpp"
#include "platform/core/plobj.hpp"

namespace pl = bwv::pl;

namespace {

struct MsgDeleter {
    void operator()(gmsg *m) const { gmsg_release(m); }
};
using Msg = std::unique_ptr<gmsg, MsgDeleter>;

struct Buffer {
    void *data = nullptr;
    uint32_t len = 0;
    ~Buffer() { std::free(data); }
};

std::vector<std::string> keys_of(gmsg *m) { return pl::dict_keys(gmsg_content(m)); }

std::string str_r(gmsg *m, const char *key) {
    int need = gmsg_get_str_r(m, key, nullptr, 0);
    if (need <= 0) return "<none>";
    std::string s(static_cast<size_t>(need), '\0');
    gmsg_get_str_r(m, key, s.data(), need);
    s.resize(static_cast<size_t>(need) - 1);
    return s;
}

// Must stay the first test of this program: ids count from the process's first message.
TEST(GmsgRegistry, IdsCountFromZeroAndAreNeverReused) {
    Msg a(gmsg_create(1, 2));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->id, 0u);
    Msg b(gmsg_create(1, 2));
    EXPECT_EQ(b->id, 1u);
    a.reset();
    Msg c(gmsg_create(3, 4));
    EXPECT_EQ(c->id, 2u);
    EXPECT_EQ(c->c_type, 3);
    EXPECT_EQ(c->m_type, 4);
}

TEST(GmsgRegistry, ReleasedMessageLeavesTheRegistryAndNullIsHarmless) {
    gmsg *m = gmsg_create(0, 0);
    ASSERT_NE(gmsg_content(m), nullptr);
    gmsg_release(m);
    gmsg_release(nullptr);
    EXPECT_EQ(gmsg_content(nullptr), nullptr);
}

// Null arguments and empty keys; the model covers everything that is a real key.
TEST(GmsgValues, BadArgumentsStoreNothing) {
    Msg m(gmsg_create(0, 0));
    EXPECT_EQ(gmsg_add_bin(m.get(), "b", nullptr, 1), nullptr);
    EXPECT_EQ(gmsg_add_str(m.get(), nullptr, "v"), nullptr);
    EXPECT_EQ(gmsg_add_str(m.get(), "s", nullptr), nullptr);
    EXPECT_EQ(gmsg_add_str(nullptr, "s", "v"), nullptr);
    EXPECT_EQ(gmsg_add_int(m.get(), nullptr, 1), nullptr);
    EXPECT_EQ(gmsg_add_msg(m.get(), "m", nullptr), nullptr);
    EXPECT_EQ(keys_of(m.get()).size(), 2u);
    EXPECT_EQ(gmsg_get_bin(m.get(), "b", nullptr), nullptr);
    EXPECT_EQ(gmsg_get_msg(m.get(), nullptr), nullptr);
    EXPECT_EQ(gmsg_delete(m.get(), ""), -1);
    EXPECT_EQ(gmsg_delete(m.get(), nullptr), -1);
    EXPECT_EQ(gmsg_delete(nullptr, "k"), -1);
}

// A plain model of a message: key -> number (the reserved type keys), text with its
// integer reading, bytes, or a nested message (index into a fixed pool). Random operations
// run against a real message and the model; every step compares all observable state, and
// every few steps the message is replaced by its gmsg_gen_buffer/gmsg_parse_buffer copy.
struct Text { std::string s; int64_t as_int; };
using Bytes = std::vector<unsigned char>;
using Value = std::variant<int64_t, Text, Bytes, size_t>;
using Model = std::map<std::string, Value>;

void expect_matches(gmsg *m, const Model &model, const std::vector<Msg> &pool,
                    std::vector<std::string> keys) {
    std::vector<std::string> want;
    for (const auto &kv : model) want.push_back(kv.first);
    ASSERT_EQ(keys_of(m), want);
    ASSERT_EQ(pl::count(gmsg_content(m)), want.size());
    keys.insert(keys.end(), {"_c_type_", "_m_type_"});
    for (const std::string &k : keys) {
        SCOPED_TRACE("key " + k);
        auto it = model.find(k);
        const Value *v = it == model.end() ? nullptr : &it->second;
        const Text *text = v ? std::get_if<Text>(v) : nullptr;
        const Bytes *bytes = v ? std::get_if<Bytes>(v) : nullptr;
        const size_t *nested = v ? std::get_if<size_t>(v) : nullptr;
        const char *s = gmsg_get_str(m, k.c_str());
        ASSERT_EQ(s ? std::string(s) : "<none>", text ? text->s : "<none>");
        ASSERT_EQ(str_r(m, k.c_str()), text ? text->s : "<none>");
        const int64_t *num = v ? std::get_if<int64_t>(v) : nullptr;
        ASSERT_EQ(gmsg_get_int(m, k.c_str()), text ? text->as_int : num ? *num : -1);
        uint32_t len = 0;
        auto *b = static_cast<const unsigned char *>(gmsg_get_bin(m, k.c_str(), &len));
        ASSERT_EQ(b ? Bytes(b, b + len) : Bytes{'-'}, bytes ? *bytes : Bytes{'-'});
        Msg inner(gmsg_get_msg(m, k.c_str()));
        ASSERT_EQ(inner != nullptr, nested != nullptr);
        if (nested) {
            gmsg *w = pool[*nested].get();
            ASSERT_EQ(std::pair(inner->c_type, inner->m_type), std::pair(w->c_type, w->m_type));
            ASSERT_TRUE(pl::equal(gmsg_content(inner.get()), gmsg_content(w)));
        }
    }
}

TEST(GmsgModel, RandomOperationsMatchAPlainMap) {
    const char *env = std::getenv("BWV_GMSG_SEED");
    const unsigned long seed = env ? std::strtoul(env, nullptr, 10) : 20261206ul;
    SCOPED_TRACE("seed " + std::to_string(seed) + " (rerun with BWV_GMSG_SEED)");
    std::mt19937_64 rng(seed);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };

    // Keys and texts that are not UTF-8 are refused and store nothing.
    const std::vector<std::string> keys{"a", "b", "key", "long key with spaces",
                                        "\xc3\xa9t\xc3\xa9", "\xf0\x9f\x98\x80", "\xc3", "\xff"};
    const std::vector<Text> texts{
        {"", 0}, {"plain", 0}, {"42 apples", 42}, {"  -17xyz", -17}, {"+8", 8}, {"x8", 0},
        {"99999999999999999999", INT64_MAX}, {"-99999999999999999999", INT64_MIN},
        {"Mises \xc3\xa0 jour \xf0\x9f\x98\x80", 0}, {"\xff\xfe", 0}};
    std::vector<Msg> pool;
    pool.emplace_back(gmsg_create(7, 8));
    gmsg_add_str(pool[0].get(), "deep", "value");
    pool.emplace_back(gmsg_create(9, -10));
    gmsg_add_bin(pool[1].get(), "raw", "z", 1);
    gmsg_add_msg(pool[1].get(), "level2", pool[0].get());

    Msg m(gmsg_create(11, -22));
    Model model{{"_c_type_", int64_t{11}}, {"_m_type_", int64_t{-22}}};
    for (int step = 0; step < 3000; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const std::string &key = keys[pick(keys.size())];
        bool ok = pl::valid_utf8(key);
        gmsg *r = nullptr;
        Value v;
        switch (pick(6)) {
        case 0: {
            const Text &t = texts[pick(texts.size())];
            ok = ok && pl::valid_utf8(t.s);
            r = gmsg_add_str(m.get(), key.c_str(), t.s.c_str());
            v = t;
            break;
        }
        case 1: {
            int64_t n = pick(4) ? static_cast<int64_t>(rng()) : pick(2) ? INT64_MIN : INT64_MAX;
            r = gmsg_add_int(m.get(), key.c_str(), n);
            v = Text{std::to_string(n), n};
            break;
        }
        case 2: {
            Bytes bytes(pick(40));
            for (auto &c : bytes) c = static_cast<unsigned char>(rng());
            ok = ok && !bytes.empty();
            r = gmsg_add_bin(m.get(), key.c_str(), bytes.empty() ? Bytes{1}.data() : bytes.data(),
                             static_cast<int>(bytes.size()));
            v = std::move(bytes);
            break;
        }
        case 3:
            v = pick(pool.size());
            r = gmsg_add_msg(m.get(), key.c_str(), pool[std::get<size_t>(v)].get());
            break;
        default:
            ASSERT_EQ(gmsg_delete(m.get(), key.c_str()), 0);
            model.erase(key);
            ok = false;
        }
        ASSERT_EQ(r, ok ? m.get() : nullptr);
        if (ok) model[key] = v;
        ASSERT_NO_FATAL_FAILURE(expect_matches(m.get(), model, pool, keys));
        if (step % 50 == 49) {
            Buffer b;
            b.data = gmsg_gen_buffer(m.get(), &b.len);
            ASSERT_NE(b.data, nullptr);
            Msg back(gmsg_parse_buffer(b.data, static_cast<int>(b.len)));
            ASSERT_TRUE(back);
            ASSERT_NE(back->id, m->id);
            ASSERT_EQ(std::pair(back->c_type, back->m_type), std::pair(11, -22));
            ASSERT_EQ(gmsg_type_from_dic(gmsg_content(back.get())), -22);
            ASSERT_NO_FATAL_FAILURE(expect_matches(back.get(), model, pool, keys));
            m = std::move(back);
        }
    }
}

TEST(GmsgStrings, CopyIntoCallerBufferTruncatesAndReportsFullSize) {
    Msg m(gmsg_create(0, 0));
    gmsg_add_str(m.get(), "five", "hello");
    char small[3] = {'x', 'x', 'x'};
    EXPECT_EQ(gmsg_get_str_r(m.get(), "five", small, 3), 6);
    EXPECT_STREQ(small, "he");
    char none[1] = {'x'};
    EXPECT_EQ(gmsg_get_str_r(m.get(), "five", none, 1), 6);
    EXPECT_EQ(none[0], '\0');
}

TEST(GmsgStrings, RingWrapsToItsStartAndRefusesWhatCannotFit) {
    Msg m(gmsg_create(0, 0));
    const size_t ring = 131072;
    std::string fill(ring - 1, 'f');
    gmsg_add_str(m.get(), "fill", fill.c_str());
    // A string that needs the whole ring always lands at its start.
    const char *base = gmsg_get_str(m.get(), "fill");
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(std::string(base), fill);

    // The ring is now full, so the next string goes to the start too.
    gmsg_add_str(m.get(), "a", "abc");
    EXPECT_EQ(gmsg_get_str(m.get(), "a"), base);
    // Next offset 4: a string ending one byte before the ring's end still follows.
    std::string fits(ring - 4 - 2, 's');
    gmsg_add_str(m.get(), "fits", fits.c_str());
    EXPECT_EQ(gmsg_get_str(m.get(), "fits"), base + 4);
    // Next offset ring - 1: even the empty string would end exactly at the end.
    gmsg_add_str(m.get(), "empty", "");
    EXPECT_EQ(gmsg_get_str(m.get(), "empty"), base);
    // Next offset 1: msg_index + L + 1 == ring places the string at offset 0.
    std::string exact(ring - 1 - 1, 'e');
    gmsg_add_str(m.get(), "exact", exact.c_str());
    EXPECT_EQ(gmsg_get_str(m.get(), "exact"), base);

    std::string too_long(ring, 't');
    gmsg_add_str(m.get(), "long", too_long.c_str());
    EXPECT_EQ(gmsg_get_str(m.get(), "long"), nullptr);
    // The refusal wrote nothing: the ring still holds the earlier string.
    EXPECT_EQ(std::string(base), exact);
    EXPECT_EQ(gmsg_get_str_r(m.get(), "long", nullptr, 0), static_cast<int>(ring + 1));
}

TEST(GmsgNested, StoredMessageIsASnapshot) {
    Msg outer(gmsg_create(1, 1));
    Msg inner(gmsg_create(5, 6));
    gmsg_add_str(inner.get(), "name", "first");
    ASSERT_EQ(gmsg_add_msg(outer.get(), "inner", inner.get()), outer.get());
    gmsg_add_str(inner.get(), "name", "changed");
    gmsg_add_str(inner.get(), "extra", "x");

    Msg back(gmsg_get_msg(outer.get(), "inner"));
    ASSERT_TRUE(back);
    EXPECT_EQ(str_r(back.get(), "name"), "first");
    EXPECT_EQ(gmsg_get_str(back.get(), "extra"), nullptr);
    gmsg_add_str(outer.get(), "s", "t");

    // A message may hold a snapshot of itself.
    EXPECT_EQ(gmsg_add_msg(outer.get(), "self", outer.get()), outer.get());
    Msg self(gmsg_get_msg(outer.get(), "self"));
    EXPECT_EQ(str_r(self.get(), "s"), "t");
    EXPECT_EQ(gmsg_get_str(self.get(), "self"), nullptr);
}

TEST(GmsgCopies, DuplicateIsIndependentOfItsSource) {
    Msg src(gmsg_create(3, 4));
    gmsg_add_str(src.get(), "k", "v");
    Msg dup(gmsg_duplicate(src.get()));
    ASSERT_TRUE(dup);
    EXPECT_NE(dup->id, src->id);
    EXPECT_EQ(dup->c_type, 3);
    EXPECT_EQ(dup->m_type, 4);
    gmsg_add_str(src.get(), "k", "changed");
    EXPECT_EQ(str_r(dup.get(), "k"), "v");
    EXPECT_EQ(gmsg_duplicate(nullptr), nullptr);
}

TEST(GmsgCopies, MessageFromADictionaryTakesItsTypesAsIntegers) {
    pl::Ref d(pl::make_dict());
    pl::Ref c(pl::make_string("12")), t(pl::make_int(34)), v(pl::make_string("x"));
    pl::dict_set(d.get(), "_c_type_", c.get());
    pl::dict_set(d.get(), "_m_type_", t.get());
    pl::dict_set(d.get(), "k", v.get());
    Msg m(gmsg_create_use_dic(d.get()));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->c_type, 12);
    EXPECT_EQ(m->m_type, 34);
    // The copy's reserved keys are numbers, whatever they were in the source.
    EXPECT_EQ(gmsg_get_str(m.get(), "_c_type_"), nullptr);
    EXPECT_EQ(gmsg_get_int(m.get(), "_c_type_"), 12);
    pl::dict_remove(d.get(), "k");
    EXPECT_EQ(str_r(m.get(), "k"), "x");

    pl::Ref plain(pl::make_dict());
    Msg z(gmsg_create_use_dic(plain.get()));
    EXPECT_EQ(z->c_type, 0);
    EXPECT_EQ(z->m_type, 0);
    EXPECT_EQ(gmsg_type_from_dic(plain.get()), -1);
    pl::Ref data(pl::make_data("a", 1));
    pl::dict_set(plain.get(), "_m_type_", data.get());
    EXPECT_EQ(gmsg_type_from_dic(plain.get()), -1);
    EXPECT_EQ(gmsg_type_from_dic(nullptr), -1);
    EXPECT_EQ(gmsg_create_use_dic(nullptr), nullptr);
    EXPECT_EQ(gmsg_create_use_dic(data.get()), nullptr);
}

TEST(GmsgIntegerReading, TypesSaturateAtInt32) {
    pl::Ref big(pl::make_string("5000000000"));
    EXPECT_EQ(bwv::gmsg_detail::int32_reading(big.get()), INT32_MAX);
}

TEST(GmsgBuffer, LayoutIsHeaderArchiveAndClosingZero) {
    Msg m(gmsg_create(0x01020304, -2));
    gmsg_add_str(m.get(), "k", "v");
    Buffer b;
    b.data = gmsg_gen_buffer(m.get(), &b.len);
    ASSERT_NE(b.data, nullptr);
    auto *p = static_cast<const unsigned char *>(b.data);
    uint32_t total;
    int32_t c, t;
    std::memcpy(&total, p, 4);
    std::memcpy(&c, p + 4, 4);
    std::memcpy(&t, p + 8, 4);
    EXPECT_EQ(total, b.len);
    EXPECT_EQ(c, 0x01020304);
    EXPECT_EQ(t, -2);
    EXPECT_EQ(std::memcmp(p + 12, "bplist00", 8), 0);
    EXPECT_EQ(p[b.len - 1], 0);
    EXPECT_EQ(gmsg_gen_buffer(m.get(), nullptr), nullptr);
    EXPECT_EQ(gmsg_gen_buffer(nullptr, &b.len), nullptr);
}

TEST(GmsgBuffer, LargeMessagesRoundTrip) {
    // Thousands of objects need wider references inside the archive.
    Msg m(gmsg_create(1, 1));
    for (int i = 0; i < 3000; ++i) {
        std::string k = "key" + std::to_string(i);
        gmsg_add_str(m.get(), k.c_str(), ("value" + std::to_string(i)).c_str());
    }
    std::string big(200000, 'b');
    gmsg_add_bin(m.get(), "big", big.data(), static_cast<int>(big.size()));
    Buffer b;
    b.data = gmsg_gen_buffer(m.get(), &b.len);
    ASSERT_NE(b.data, nullptr);
    Msg back(gmsg_parse_buffer(b.data, static_cast<int>(b.len)));
    EXPECT_TRUE(pl::equal(gmsg_content(back.get()), gmsg_content(m.get())));
    EXPECT_EQ(str_r(back.get(), "key2999"), "value2999");
}

TEST(GmsgBuffer, TypesComeFromTheArchiveNotTheHeader) {
    Msg m(gmsg_create(3, 4));
    Buffer b;
    b.data = gmsg_gen_buffer(m.get(), &b.len);
    ASSERT_NE(b.data, nullptr);
    std::memset(static_cast<char *>(b.data) + 4, 0x7f, 8);
    Msg back(gmsg_parse_buffer(b.data, static_cast<int>(b.len)));
    EXPECT_EQ(back->c_type, 3);
    EXPECT_EQ(back->m_type, 4);
}

void expect_empty_message(gmsg *m) {
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->c_type, 0);
    EXPECT_EQ(m->m_type, 0);
    EXPECT_EQ(keys_of(m), (std::vector<std::string>{"_c_type_", "_m_type_"}));
    gmsg_release(m);
}

TEST(GmsgBuffer, UndecodableArchivesGiveTheEmptyMessage) {
    std::vector<unsigned char> garbage(64, 0xA5);
    expect_empty_message(gmsg_parse_buffer(garbage.data(), static_cast<int>(garbage.size())));
    // Exactly the header and the closing zero: an empty archive.
    expect_empty_message(gmsg_parse_buffer(garbage.data(), 13));

    Msg m(gmsg_create(5, 6));
    gmsg_add_str(m.get(), "k", "value");
    Buffer b;
    b.data = gmsg_gen_buffer(m.get(), &b.len);
    ASSERT_NE(b.data, nullptr);
    // Every truncation of a genuine buffer either decodes or gives the empty message.
    for (uint32_t n = 13; n < b.len; ++n) {
        std::vector<unsigned char> cut(static_cast<unsigned char *>(b.data),
                                       static_cast<unsigned char *>(b.data) + n);
        gmsg *r = gmsg_parse_buffer(cut.data(), static_cast<int>(n));
        ASSERT_NE(r, nullptr);
        gmsg_release(r);
    }
}

TEST(GmsgBuffer, TooShortOrMissingBuffersGiveNull) {
    unsigned char header[12] = {};
    for (int n = 0; n <= 12; ++n) {
        // Exactly n bytes, so that a read past len would be caught by the sanitizers.
        std::unique_ptr<unsigned char[]> exact(new unsigned char[n ? n : 1]);
        std::memcpy(exact.get(), header, static_cast<size_t>(n));
        EXPECT_EQ(gmsg_parse_buffer(exact.get(), n), nullptr) << n;
    }
    EXPECT_EQ(gmsg_parse_buffer(nullptr, 100), nullptr);
    EXPECT_EQ(gmsg_parse_buffer(header, -1), nullptr);
}

TEST(GmsgDescription, LengthIsInUtf16UnitsAndCopiesAreTruncated) {
    Msg m(gmsg_create(1, 2));
    gmsg_add_str(m.get(), "name", "value");
    int len = 0;
    EXPECT_EQ(gmsg_get_desc(m.get(), nullptr, &len), 0);
    std::string desc = pl::description(gmsg_content(m.get()));
    EXPECT_EQ(len, static_cast<int>(desc.size()));  // ASCII only
    EXPECT_NE(desc.find("name = value;"), std::string::npos);
    EXPECT_EQ(desc.front(), '{');
    EXPECT_EQ(desc.back(), '}');

    std::vector<char> out(desc.size() + 1, 'x');
    int cap = static_cast<int>(out.size());
    gmsg_get_desc(m.get(), out.data(), &cap);
    EXPECT_EQ(std::string(out.data()), desc);
    char small[5];
    cap = 5;
    gmsg_get_desc(m.get(), small, &cap);
    EXPECT_EQ(std::string(small), desc.substr(0, 4));
    EXPECT_EQ(gmsg_get_desc(nullptr, small, &cap), 0);
    EXPECT_EQ(gmsg_get_desc(m.get(), small, nullptr), 0);
}

TEST(GmsgDescription, PrintAllWritesTheCountLine) {
    Msg m(gmsg_create(4, 5));
    gmsg_add_int(m.get(), "k", 1);
    testing::internal::CaptureStdout();
    gmsg_print_all(m.get());
    gmsg_print_all(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "control type: 4, message type: 5, key count: 3\n");
}

}  // namespace
