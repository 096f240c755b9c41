#include <gtest/gtest.h>

#include <bwvutil/gmsg.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
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

TEST(GmsgContent, NewMessageHoldsOnlyTheTypesAsNumbers) {
    Msg m(gmsg_create(7, -3));
    EXPECT_EQ(keys_of(m.get()), (std::vector<std::string>{"_c_type_", "_m_type_"}));
    EXPECT_EQ(gmsg_get_int(m.get(), "_c_type_"), 7);
    EXPECT_EQ(gmsg_get_int(m.get(), "_m_type_"), -3);
    // A number is not text.
    EXPECT_EQ(gmsg_get_str(m.get(), "_c_type_"), nullptr);
    EXPECT_EQ(gmsg_get_str_r(m.get(), "_c_type_", nullptr, 0), 0);
    EXPECT_EQ(gmsg_type_from_dic(gmsg_content(m.get())), -3);
}

TEST(GmsgValues, IntegersAreStoredAsDecimalText) {
    Msg m(gmsg_create(0, 0));
    ASSERT_EQ(gmsg_add_int(m.get(), "n", -5), m.get());
    EXPECT_STREQ(gmsg_get_str(m.get(), "n"), "-5");
    EXPECT_EQ(gmsg_get_int(m.get(), "n"), -5);
    gmsg_add_int(m.get(), "big", INT64_MIN);
    EXPECT_EQ(gmsg_get_int(m.get(), "big"), INT64_MIN);
    EXPECT_EQ(str_r(m.get(), "big"), "-9223372036854775808");
    gmsg_add_str(m.get(), "text", "42 apples");
    EXPECT_EQ(gmsg_get_int(m.get(), "text"), 42);
    gmsg_add_str(m.get(), "word", "apples");
    EXPECT_EQ(gmsg_get_int(m.get(), "word"), 0);
    EXPECT_EQ(gmsg_get_int(m.get(), "absent"), -1);
}

TEST(GmsgValues, StoringUnderAnExistingKeyReplacesTheValue) {
    Msg m(gmsg_create(0, 0));
    gmsg_add_str(m.get(), "k", "one");
    gmsg_add_bin(m.get(), "k", "xy", 2);
    uint32_t len = 0;
    EXPECT_NE(gmsg_get_bin(m.get(), "k", &len), nullptr);
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(gmsg_get_str(m.get(), "k"), nullptr);
    EXPECT_EQ(keys_of(m.get()).size(), 3u);
}

TEST(GmsgValues, ByteBlocksAreCopiedAndAreNotIntegersOrText) {
    Msg m(gmsg_create(0, 0));
    unsigned char bytes[] = {0, 1, 2, 255};
    ASSERT_EQ(gmsg_add_bin(m.get(), "b", bytes, 4), m.get());
    bytes[0] = 9;
    uint32_t len = 0;
    auto *p = static_cast<const unsigned char *>(gmsg_get_bin(m.get(), "b", &len));
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(len, 4u);
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[3], 255);
    EXPECT_EQ(gmsg_get_int(m.get(), "b"), -1);
    EXPECT_EQ(gmsg_get_str(m.get(), "b"), nullptr);
    EXPECT_EQ(gmsg_get_str_r(m.get(), "b", nullptr, 0), 0);
}

TEST(GmsgValues, BadArgumentsStoreNothing) {
    Msg m(gmsg_create(0, 0));
    EXPECT_EQ(gmsg_add_bin(m.get(), "b", "x", 0), nullptr);
    EXPECT_EQ(gmsg_add_bin(m.get(), "b", "x", -1), nullptr);
    EXPECT_EQ(gmsg_add_bin(m.get(), "b", nullptr, 1), nullptr);
    EXPECT_EQ(gmsg_add_str(m.get(), nullptr, "v"), nullptr);
    EXPECT_EQ(gmsg_add_str(m.get(), "s", nullptr), nullptr);
    EXPECT_EQ(gmsg_add_str(nullptr, "s", "v"), nullptr);
    EXPECT_EQ(gmsg_add_int(m.get(), nullptr, 1), nullptr);
    EXPECT_EQ(gmsg_add_msg(m.get(), "m", nullptr), nullptr);
    // Text that is not UTF-8 cannot become a key or a string.
    EXPECT_EQ(gmsg_add_str(m.get(), "bad", "\xff\xfe"), nullptr);
    EXPECT_EQ(gmsg_add_str(m.get(), "\xc3", "v"), nullptr);
    EXPECT_EQ(keys_of(m.get()).size(), 2u);
    EXPECT_EQ(gmsg_get_bin(m.get(), "b", nullptr), nullptr);
    EXPECT_EQ(gmsg_get_msg(m.get(), nullptr), nullptr);
}

TEST(GmsgValues, DeleteRemovesKeysAndRefusesEmptyOnes) {
    Msg m(gmsg_create(0, 0));
    gmsg_add_str(m.get(), "k", "v");
    EXPECT_EQ(gmsg_delete(m.get(), "k"), 0);
    EXPECT_EQ(gmsg_delete(m.get(), "k"), 0);
    EXPECT_EQ(gmsg_get_str(m.get(), "k"), nullptr);
    EXPECT_EQ(gmsg_delete(m.get(), ""), -1);
    EXPECT_EQ(gmsg_delete(m.get(), nullptr), -1);
    EXPECT_EQ(gmsg_delete(nullptr, "k"), -1);
}

TEST(GmsgStrings, CopyIntoCallerBufferTruncatesAndReportsFullSize) {
    Msg m(gmsg_create(0, 0));
    gmsg_add_str(m.get(), "five", "hello");
    EXPECT_EQ(gmsg_get_str_r(m.get(), "five", nullptr, 0), 6);
    char small[3] = {'x', 'x', 'x'};
    EXPECT_EQ(gmsg_get_str_r(m.get(), "five", small, 3), 6);
    EXPECT_STREQ(small, "he");
    char none[1] = {'x'};
    EXPECT_EQ(gmsg_get_str_r(m.get(), "five", none, 1), 6);
    EXPECT_EQ(none[0], '\0');
    EXPECT_EQ(gmsg_get_str_r(m.get(), "absent", small, 3), 0);
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
    EXPECT_EQ(back->c_type, 5);
    EXPECT_EQ(back->m_type, 6);
    EXPECT_EQ(str_r(back.get(), "name"), "first");
    EXPECT_EQ(gmsg_get_str(back.get(), "extra"), nullptr);
    // The value read back is not text, and text is not a nested message.
    EXPECT_EQ(gmsg_get_str(outer.get(), "inner"), nullptr);
    EXPECT_EQ(gmsg_get_int(outer.get(), "inner"), -1);
    gmsg_add_str(outer.get(), "s", "t");
    EXPECT_EQ(gmsg_get_msg(outer.get(), "s"), nullptr);

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

TEST(GmsgIntegerReading, TextReadsItsLeadingNumberSaturating) {
    using bwv::gmsg_detail::leading_integer;
    EXPECT_EQ(leading_integer("  -17xyz"), -17);
    EXPECT_EQ(leading_integer("+8"), 8);
    EXPECT_EQ(leading_integer("x8"), 0);
    EXPECT_EQ(leading_integer(""), 0);
    EXPECT_EQ(leading_integer("99999999999999999999"), INT64_MAX);
    EXPECT_EQ(leading_integer("-99999999999999999999"), INT64_MIN);
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

TEST(GmsgBuffer, EveryValueKindSurvivesARoundTrip) {
    Msg m(gmsg_create(11, 22));
    gmsg_add_str(m.get(), "ascii", "plain text");
    gmsg_add_str(m.get(), "utf8", "Mises \xc3\xa0 jour \xf0\x9f\x98\x80");
    gmsg_add_str(m.get(), "empty", "");
    gmsg_add_int(m.get(), "neg", -5);
    gmsg_add_int(m.get(), "max", INT64_MAX);
    const unsigned char bytes[] = {0, 0xff, 0x10, 0};
    gmsg_add_bin(m.get(), "bin", bytes, sizeof bytes);
    Msg inner(gmsg_create(7, 8));
    gmsg_add_str(inner.get(), "deep", "value");
    Msg innermost(gmsg_create(9, 10));
    gmsg_add_bin(innermost.get(), "raw", "z", 1);
    gmsg_add_msg(inner.get(), "level2", innermost.get());
    gmsg_add_msg(m.get(), "level1", inner.get());

    Buffer b;
    b.data = gmsg_gen_buffer(m.get(), &b.len);
    ASSERT_NE(b.data, nullptr);
    Msg back(gmsg_parse_buffer(b.data, static_cast<int>(b.len)));
    ASSERT_TRUE(back);
    EXPECT_NE(back->id, m->id);
    EXPECT_EQ(back->c_type, 11);
    EXPECT_EQ(back->m_type, 22);
    EXPECT_EQ(keys_of(back.get()), keys_of(m.get()));
    EXPECT_TRUE(pl::equal(gmsg_content(back.get()), gmsg_content(m.get())));
    EXPECT_EQ(str_r(back.get(), "utf8"), "Mises \xc3\xa0 jour \xf0\x9f\x98\x80");
    EXPECT_EQ(str_r(back.get(), "empty"), "");
    EXPECT_EQ(gmsg_get_int(back.get(), "neg"), -5);
    EXPECT_EQ(gmsg_get_int(back.get(), "max"), INT64_MAX);
    uint32_t len = 0;
    const void *bin = gmsg_get_bin(back.get(), "bin", &len);
    ASSERT_EQ(len, sizeof bytes);
    EXPECT_EQ(std::memcmp(bin, bytes, len), 0);
    Msg l1(gmsg_get_msg(back.get(), "level1"));
    ASSERT_TRUE(l1);
    EXPECT_EQ(l1->c_type, 7);
    EXPECT_EQ(str_r(l1.get(), "deep"), "value");
    Msg l2(gmsg_get_msg(l1.get(), "level2"));
    ASSERT_TRUE(l2);
    EXPECT_EQ(l2->m_type, 10);
    EXPECT_NE(gmsg_get_bin(l2.get(), "raw", &len), nullptr);
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
